// CCollector: receives the collector service's JSON messages through the comm
// library and hands the latest system and process CPU figures to a callback.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "collector/commimpl.h"

struct json_t;

// Per-disk figures; nothing in the library fills them yet.
struct _DiskInfo {
    std::string name;
};

struct _ProcInfo {
    float cpu;         // percent of the whole machine
    int32_t iorspeed;  // low 32 bits of the message's integer, not interpreted here
    int32_t iowspeed;
    int64_t time;  // seconds since the epoch
};

struct _SysInfo {
    float cpu;     // percent of the whole machine
    int64_t time;  // seconds since the epoch
    std::vector<_DiskInfo> disks;
};

// The timestamp of a "time" text that does not give six numbers, or whose year
// or month cannot be shifted to broken-down form in 32 bits. No real sample of
// ours carries it (mktime's own failure value, 1969-12-31 23:59:59 local).
constexpr int64_t kCollectorNoTime = -1;

class CCollector {
public:
    typedef void (*DataCallback)(_SysInfo* sysInfo, _ProcInfo* procInfo, void* context);

    CCollector();
    ~CCollector();
    CCollector(const CCollector&) = delete;  // the comm library holds our address
    CCollector& operator=(const CCollector&) = delete;

    // 0 when registered; KVO_E_FAIL when the comm library cannot be loaded;
    // otherwise the comm library's error code. callback runs on its thread.
    uint32_t RegCollectData(DataCallback callback, void* context);
    void UnRegCollectData();

    // The receiver registered with the comm library; context is the CCollector.
    static uint32_t DataReceiverCb(comm_data* data, comm_data* second, void* context);
    // 0 for a valid message (callback or not), KVO_E_FAIL otherwise.
    uint32_t DataParse(const char* text);

private:
    uint32_t ParseDocument(json_t* document);
    uint32_t ParseSystemBody(json_t* body, int64_t time);
    uint32_t ParseProcessBody(json_t* body, int64_t time);

    // Written only on the comm delivery thread, one message at a time.
    _ProcInfo m_procInfo;
    _SysInfo m_sysInfo;
    DataCallback m_callback;
    void* m_context;
};
