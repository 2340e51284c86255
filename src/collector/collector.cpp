// CCollector: comm registration and the parse of the collector's two message kinds.
#define KVO_MODULE_TAG "[KVA]"

#include "collector/collector.h"

#include <jansson.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <new>

#include "comm/kvo_protocol.h"
#include "platform/kvo_base.h"

namespace {

// Owns one decoded document; every parse path releases it.
class JsonRef {
public:
    explicit JsonRef(json_t* value) : m_value(value) {}
    ~JsonRef() {
        if (m_value != nullptr) json_decref(m_value);
    }
    JsonRef(const JsonRef&) = delete;
    JsonRef& operator=(const JsonRef&) = delete;
    json_t* get() const { return m_value; }

private:
    json_t* m_value;
};

// Decodes text; null (and the WARN line) unless the result is an object.
json_t* LoadObject(const char* text) {
    json_error_t error;
    json_t* value = json_loads(text, JSON_DECODE_ANY, &error);
    if (value == nullptr || !json_is_object(value)) {
        if (value != nullptr) json_decref(value);
        KVO_LOGW("failed to load json:(%s)", text);
        return nullptr;
    }
    return value;
}

// The member key of parent when fits accepts it; null after the warning that
// names what was wanted otherwise.
template <class Fits>
json_t* Member(json_t* parent, const char* key, const char* what, Fits fits) {
    json_t* value = json_object_get(parent, key);
    if (!fits(value)) {
        KVO_LOGW("get %s %s failed", what, key);
        return nullptr;
    }
    return value;
}

json_t* GetObject(json_t* parent, const char* key) {
    return Member(parent, key, "object", [](json_t* v) { return json_is_object(v); });
}

const char* GetString(json_t* parent, const char* key) {
    json_t* value = Member(parent, key, "str", [](json_t* v) { return json_is_string(v); });
    return value != nullptr ? json_string_value(value) : nullptr;
}

bool GetNumber(json_t* parent, const char* key, float* out) {
    json_t* value = Member(parent, key, "num", [](json_t* v) { return json_is_number(v); });
    if (value == nullptr) return false;
    *out = static_cast<float>(json_number_value(value));
    return true;
}

// Keeps the low 32 bits of the JSON integer.
bool GetInt32(json_t* parent, const char* key, int32_t* out) {
    json_t* value = Member(parent, key, "int", [](json_t* v) { return json_is_integer(v); });
    if (value == nullptr) return false;
    *out = static_cast<int32_t>(static_cast<uint32_t>(json_integer_value(value)));
    return true;
}

// "year/month/day hour:minute:second", local time with daylight saving time
// marked as not in effect. A text without six numbers, or a year or month that
// cannot be shifted within 32 bits, has no timestamp: kCollectorNoTime.
int64_t ConvertTime(const char* text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (sscanf(text, "%d/%d/%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) {
        return kCollectorNoTime;
    }
    if (year < INT_MIN + 1900 || month == INT_MIN) return kCollectorNoTime;
    struct tm broken;
    memset(&broken, 0, sizeof(broken));
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    broken.tm_isdst = 0;
    return static_cast<int64_t>(mktime(&broken));
}

}  // namespace

CCollector::CCollector() : m_procInfo(), m_sysInfo(), m_callback(nullptr), m_context(nullptr) {}

CCollector::~CCollector() { m_sysInfo.disks.clear(); }

uint32_t CCollector::RegCollectData(DataCallback callback, void* context) {
    // Stored before the registration so the first delivery already sees them.
    m_callback = callback;
    m_context = context;
    if (PluginLoaderInit() != 1) {
        KVO_LOGW("plugin loader init failed");
        return KVO_E_FAIL;
    }
    CommImpl* comm = GetCommImpl();
    uint32_t rc = comm->comm_init();
    if (rc != KVO_OK) {
        KVO_LOGE("comm init failed with error code = 0x%08x", rc);
        return rc;
    }
    rc = comm->comm_register(kCommLibraryReceiver, DataReceiverCb, this);
    if (rc != KVO_OK) {
        KVO_LOGE("comm register failed with error code = 0x%08x", rc);
        return rc;
    }
    return KVO_OK;
}

void CCollector::UnRegCollectData() {
    // The comm library guarantees no delivery runs once both calls returned,
    // which is what makes clearing the table afterwards safe.
    CommImpl* comm = GetCommImpl();
    if (comm->comm_unregister != nullptr) comm->comm_unregister(kCommLibraryReceiver);
    if (comm->comm_uninit != nullptr) comm->comm_uninit();
    PluginLoaderUnInit();
}

uint32_t CCollector::DataReceiverCb(comm_data* data, comm_data* /*second*/, void* context) {
    CommImpl* comm = GetCommImpl();
    if (comm->comm_get_data == nullptr || context == nullptr) return KVO_E_INVALID_PARAM;
    const char* text = nullptr;
    uint32_t length = 0;
    if (comm->comm_get_data(data, &text, &length) != KVO_OK) return KVO_E_INVALID_PARAM;
    if (text == nullptr || length == 0) return KVO_E_INVALID_PARAM;
    std::string copy;
    try {
        copy.assign(text, length);  // NUL-terminated from here on
    } catch (const std::bad_alloc&) {
        return KVO_E_INVALID_PARAM;
    }
    return static_cast<CCollector*>(context)->DataParse(copy.c_str());
}

uint32_t CCollector::DataParse(const char* text) {
    if (text == nullptr) return KVO_E_FAIL;
    JsonRef outer(LoadObject(text));
    if (outer.get() == nullptr) return KVO_E_FAIL;
    const char* context = GetString(outer.get(), "context");
    if (context == nullptr) return KVO_E_FAIL;
    JsonRef inner(LoadObject(context));
    if (inner.get() == nullptr) return KVO_E_FAIL;
    return ParseDocument(inner.get());
}

uint32_t CCollector::ParseDocument(json_t* document) {
    json_t* header = GetObject(document, "header");
    if (header == nullptr) return KVO_E_FAIL;
    json_t* body = GetObject(document, "body");
    if (body == nullptr) return KVO_E_FAIL;
    const char* id = GetString(header, "id");
    if (id == nullptr) return KVO_E_FAIL;
    const char* timeText = GetString(header, "time");
    if (timeText == nullptr) return KVO_E_FAIL;
    int64_t time = ConvertTime(timeText);
    KVO_LOGD("id:%s, time:%s", id, timeText);

    uint32_t rc = KVO_OK;
    if (kvo_strnicmp(id, kCommSystemId, kCommIdLength) == 0) {
        rc = ParseSystemBody(body, time);
    } else if (kvo_strnicmp(id, kCommProcessId, kCommIdLength) == 0) {
        rc = ParseProcessBody(body, time);
    } else {
        KVO_LOGW("invalid id data (%s)", id);
    }
    if (rc != KVO_OK) return rc;
    if (m_sysInfo.time == m_procInfo.time && m_callback != nullptr) {
        m_callback(&m_sysInfo, &m_procInfo, m_context);
    }
    return KVO_OK;
}

// Each field is stored as soon as it is read: a later failure keeps it.
uint32_t CCollector::ParseSystemBody(json_t* body, int64_t time) {
    m_sysInfo.time = time;
    if (!GetNumber(body, "cpu", &m_sysInfo.cpu)) return KVO_E_FAIL;
    KVO_LOGD("sys cpu:%2.2f", m_sysInfo.cpu);
    return KVO_OK;
}

uint32_t CCollector::ParseProcessBody(json_t* body, int64_t time) {
    m_procInfo.time = time;
    if (!GetNumber(body, "cpu", &m_procInfo.cpu)) return KVO_E_FAIL;
    if (!GetInt32(body, "iorspeed", &m_procInfo.iorspeed)) return KVO_E_FAIL;
    if (!GetInt32(body, "iowspeed", &m_procInfo.iowspeed)) return KVO_E_FAIL;
    KVO_LOGD("proc cpu:%2.2f", m_procInfo.cpu);
    return KVO_OK;
}
