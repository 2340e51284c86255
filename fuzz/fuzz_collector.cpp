// Fuzzes the collector's message parse: up to four messages (separated by NUL
// bytes) go to one CCollector, each as it stands and wrapped as the "context"
// string of a well-formed outer object, so that the inner document is reached.
#include <jansson.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "collector/collector.h"
#include "fuzz_util.h"
#include "platform/kvo_result.h"

namespace {

int g_calls = 0;

// The callback only ever sees a matching pair of the collector's own records.
void OnPair(_SysInfo* sysInfo, _ProcInfo* procInfo, void* context) {
    FUZZ_CHECK(sysInfo != nullptr && procInfo != nullptr);
    FUZZ_CHECK(sysInfo->time == procInfo->time);
    FUZZ_CHECK(sysInfo->disks.empty());
    FUZZ_CHECK(context == &g_calls);
    ++g_calls;
}

// {"context": "<text>"} with text escaped as a JSON string.
std::string Wrap(const std::string& text) {
    json_t* inner = json_stringn(text.data(), text.size());
    if (inner == nullptr) return std::string();  // not valid UTF-8
    json_t* outer = json_object();
    json_object_set_new(outer, "context", inner);
    char* dumped = json_dumps(outer, JSON_COMPACT);
    json_decref(outer);
    std::string result = dumped != nullptr ? dumped : "";
    free(dumped);
    return result;
}

void Deliver(CCollector* collector, const std::string& message) {
    uint32_t rc = collector->DataParse(message.c_str());
    FUZZ_CHECK(rc == KVO_OK || rc == KVO_E_FAIL);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    // No comm library may load: the installation directory does not exist.
    setenv("KVO_BASE_DIR", "/nonexistent/kvo_fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CCollector collector;
    // Registration fails without a comm library, but the callback is stored first.
    collector.RegCollectData(OnPair, &g_calls);
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int message = 0; message < 4 && start <= input.size(); ++message) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        std::string text = input.substr(start, end - start);
        Deliver(&collector, text);
        std::string wrapped = Wrap(text);
        if (!wrapped.empty()) Deliver(&collector, wrapped);
        start = end + 1;
    }
    collector.UnRegCollectData();
    return 0;
}
