// CCollector's parse: results, exact WARN lines, stored figures and when the
// pair reaches the callback, times read in the local zone (UTC unless set).
// Then the comm library loader, and CCollector's registration against a
// stand-in library whose results the test sets and whose calls it reads.
#include "collector/collector.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "comm/kvo_protocol.h"

namespace {

const char* const kSys = kCommSystemId;
const char* const kProc = kCommProcessId;
const char kT1[] = "2021/3/4 10:20:30";
const char kT2[] = "2021/3/4 10:20:31";

std::string Msg(const std::string& id, const std::string& time, const std::string& body) {
    return Wrap("{\"header\":{\"id\":\"" + id + "\",\"time\":\"" + time + "\"},\"body\":" + body +
                "}");
}
std::string Sys(const std::string& time, const std::string& cpu, const std::string& id = kSys) {
    return Msg(id, time, "{\"cpu\":" + cpu + "}");
}
std::string Proc(const std::string& time, const std::string& cpu, const std::string& ior,
                 const std::string& iow, const std::string& id = kProc) {
    return Msg(id, time, "{\"cpu\":" + cpu + ",\"iorspeed\":" + ior + ",\"iowspeed\":" + iow + "}");
}

// A collector whose callback is set, with no comm library to register with.
struct Parser {
    ScopedEnv tz;
    LogCapture log;
    PairRecorder pairs;
    CCollector collector;
    TempDir noComm;  // a base directory without the comm library
    explicit Parser(const char* zone = "UTC") : tz("TZ", zone) {
        tzset();
        ScopedEnv base("KVO_BASE_DIR", noComm.Path().c_str());
        EXPECT_EQ(KVO_E_FAIL, collector.RegCollectData(RecordPair, &pairs));
        EXPECT_EQ(std::vector<std::string>{"plugin loader init failed"}, Warns());
        log.Clear();
    }
    std::vector<std::string> Warns() const { return log.Messages("WARN", "collector.cpp"); }
};

// Malformed messages: each fails with exactly its one WARN line and no callback.
TEST(CollectorParse, MalformedMessagesFailWithTheirWarning) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"context\":{}}", "get str context failed"},
        {"42", "failed to load json:(42)"},  // the outer message must be an object
        {Wrap("not json"), "failed to load json:(not json)"},
        {Wrap("{\"x\":1}"), "get object header failed"},  // header before body
        {Wrap("{\"header\":{\"id\":\"x\",\"time\":\"t\"}}"), "get object body failed"},
        {Wrap("{\"header\":{},\"body\":{}}"), "get str id failed"},  // id before time
        {Wrap("{\"header\":{\"id\":\"x\"},\"body\":{}}"), "get str time failed"},
        {Sys(kT1, "\"high\""), "get num cpu failed"},
        {Proc(kT1, "12.5", "12.5", "200"), "get int iorspeed failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Parser p;
        EXPECT_EQ(KVO_E_FAIL, p.collector.DataParse(c.first.c_str()));
        EXPECT_EQ(std::vector<std::string>{c.second}, p.Warns());
        EXPECT_EQ("[KVA]", p.log.Lines().at(0).tag);
        EXPECT_TRUE(p.pairs.Items().empty());
    }
}

// Valid messages, in order: how many pairs reach the callback.
TEST(CollectorParse, PairsMeetWhenBothTimesAreEqual) {
    const std::string sys1 = Sys(kT1, "42"), proc1 = Proc(kT1, "12.5", "100", "200");
    const std::string proc2 = Proc(kT2, "1", "0", "0");
    const std::string sysLower = Sys(kT1, "4", "29405d00-268c-4380-bb86-61cd57aed3e1");
    const std::string procLong = Proc(kT1, "1", "2", "3", std::string(kProc) + "X");
    const std::string sysBadTime = Sys("2021/3/4 10:20", "3");
    const std::string procBadYear = Proc("-2147483648/1/1 0:0:0", "4", "0", "0");
    const std::string procBadMonth = Proc("2021/-2147483648/1 0:0:0", "4", "0", "0");
    const struct {
        const char* name;
        size_t callbacks;
        std::vector<std::string> warns, messages;
    } cases[] = {
        {"same time", 1, {}, {sys1, proc1}},
        {"times differ, then meet", 1, {}, {sys1, proc2, proc1}},
        {"ids in lower case, or compared over 36 characters", 1, {}, {sysLower, procLong}},
        {"times that do not convert meet", 2, {}, {sysBadTime, procBadYear, procBadMonth}},
        {"unknown id", 0, {"invalid id data (ABC)"}, {sys1, proc2, Sys(kT2, "5", "ABC")}},
        {"unknown id, times met", 2, {"invalid id data (x)"}, {sys1, proc1, Sys(kT1, "9", "x")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Parser p;
        for (const std::string& m : c.messages) EXPECT_EQ(KVO_OK, p.collector.DataParse(m.c_str()));
        EXPECT_EQ(c.callbacks, p.pairs.Items().size());
        EXPECT_EQ(c.warns, p.Warns());
    }
}

// A pair as "sys <cpu>@<time> proc <cpu>/<iorspeed>/<iowspeed>@<time>".
std::string Show(const CollectedPair& p) {
    char text[160];
    snprintf(text, sizeof(text), "sys %.2f@%lld proc %.2f/%d/%d@%lld", p.sys.cpu,
             static_cast<long long>(p.sys.time), p.proc.cpu, p.proc.iorspeed, p.proc.iowspeed,
             static_cast<long long>(p.proc.time));
    return text;
}

// Each field is stored as soon as it is read, so a later failure keeps it:
// the failed process messages leave cpu, iorspeed and time, or time alone, the
// failed system message its time. Integers keep their low 32 bits: 2^32 + 100 is 100.
TEST(CollectorParse, PairsCarryTheStoredFigures) {
    Parser p;
    const std::pair<std::string, uint32_t> steps[] = {
        {Sys(kT1, "42"), KVO_OK},
        {Proc(kT1, "12.5", "4294967396", "-200"), KVO_OK},
        {Proc(kT2, "7.5", "77", "1.5"), KVO_E_FAIL},
        {Sys(kT2, "30"), KVO_OK},
        {Sys(kT1, "null"), KVO_E_FAIL},
        {Proc(kT1, "3", "1", "1"), KVO_OK},
        {Proc(kT2, "null", "0", "0"), KVO_E_FAIL},
        {Sys(kT2, "4"), KVO_OK},
    };
    for (const auto& step : steps)
        EXPECT_EQ(step.second, p.collector.DataParse(step.first.c_str()));
    std::vector<std::string> shown;
    for (const CollectedPair& pair : p.pairs.Items()) shown.push_back(Show(pair));
    EXPECT_EQ((std::vector<std::string>{"sys 42.00@1614853230 proc 12.50/100/-200@1614853230",
                                        "sys 30.00@1614853231 proc 7.50/77/-200@1614853231",
                                        "sys 30.00@1614853230 proc 3.00/1/1@1614853230",
                                        "sys 4.00@1614853231 proc 3.00/1/1@1614853231"}),
              shown);
    std::vector<std::string> debug = p.log.Messages("DEBUG", "collector.cpp");
    debug.resize(4);  // those of the first two messages
    EXPECT_EQ(
        (std::vector<std::string>{std::string("id:") + kSys + ", time:" + kT1, "sys cpu:42.00",
                                  std::string("id:") + kProc + ", time:" + kT1, "proc cpu:12.50"}),
        debug);
}

// In a zone with summer time the text is read as standard time all year: a
// summer noon comes out at 11:00 UTC, though summer time would give 10:00.
TEST(CollectorParse, TimesReadAsStandardTimeInASummerTimeZone) {
    Parser p("CET-1CEST,M3.5.0,M10.5.0/3");
    ASSERT_EQ(KVO_OK, p.collector.DataParse(Sys("2021/7/1 12:0:0", "1").c_str()));
    ASSERT_EQ(KVO_OK, p.collector.DataParse(Proc("2021/7/1 12:0:0", "1", "0", "0").c_str()));
    EXPECT_EQ(1625137200, p.pairs.Items().at(0).sys.time);
}

const char* const kSlotNames[kCommImplSlotCount] = {
    "kvo_comm_register", "kvo_comm_unregister", "kvo_comm_unregister_all", "kvo_comm_new_data",
    "kvo_comm_set_data", "kvo_comm_get_data",   "kvo_comm_delete_data",    "kvo_comm_send",
    "kvo_comm_post",     "kvo_comm_init",       "kvo_comm_uninit"};

// The table as twelve words: eleven slots, then the handle.
void* Word(size_t i) { return reinterpret_cast<void* const*>(GetCommImpl())[i]; }

void ExpectAllNull() {
    for (size_t i = 0; i <= kCommImplSlotCount; ++i) EXPECT_EQ(nullptr, Word(i)) << i;
}

std::string FakeDir(const char* kind) {
    return std::string(KVO_TEST_FAKE_COMM_DIR) + "/" + kind + "/lib";
}

// The partial stand-in lacks kvo_comm_post (slot 8): the slots before it are
// filled, the later ones stay null, and the library stays open until unloaded.
TEST(PluginLoader, SlotsFillInOrderUpToAMissingSymbolAndUnloadClearsThem) {
    const std::pair<std::string, size_t> cases[] = {{FakeDir("partial"), 8},
                                                    {KVO_TEST_LIB_DIR, 11}};
    for (const auto& c : cases) {
        const std::string path = c.first + "/libkvo_comm.so";
        SCOPED_TRACE(path);
        ScopedEnv base("KVO_BASE_DIR", c.first.c_str());
        EXPECT_EQ(c.second == kCommImplSlotCount ? 1 : 0, PluginLoaderInit());
        void* own = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(nullptr, own);
        for (size_t i = 0; i < kCommImplSlotCount; ++i) {
            EXPECT_EQ(i < c.second ? dlsym(own, kSlotNames[i]) : nullptr, Word(i)) << kSlotNames[i];
        }
        EXPECT_NE(nullptr, GetCommImpl()->handle);
        PluginLoaderUnInit();
        ExpectAllNull();
        CCollector().UnRegCollectData();  // no slot to call
        ExpectAllNull();
        dlclose(own);
        EXPECT_EQ(nullptr, dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) << "still mapped";
    }
}

// Registration's calls, results and ERROR lines; UnRegCollectData then calls
// what the table holds, also as the rollback of a failed registration.
TEST(CollectorRegistration, CallsInitThenRegisterAndReportsFailures) {
    ScopedEnv base("KVO_BASE_DIR", FakeDir("full").c_str());
    ScopedEnv tz("TZ", "UTC");
    void* fake = dlopen((FakeDir("full") + "/libkvo_comm.so").c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, fake);  // held open: its record outlives each unload
    auto* calls = static_cast<std::string*>(dlsym(fake, "fake_calls"));
    auto* results = static_cast<uint32_t*>(dlsym(fake, "fake_results"));
    auto deliver =
        reinterpret_cast<uint32_t (*)(const char*, uint32_t)>(dlsym(fake, "fake_deliver"));
    const std::string sys = Sys("1970/1/1 0:0:0", "1");  // meets the zeroed process record
    const std::string text = sys + "trailing bytes beyond the length";
    const std::string reg = std::string("init;register(") + kCommLibraryReceiver + ");";
    const struct {
        uint32_t init, reg;  // results of the two calls; the first failing one is returned
        std::string calls;   // up to the registration's end
        std::vector<std::string> errors;
    } cases[] = {
        {0, 0, reg, {}},
        {0x1234, 0, "init;", {"comm init failed with error code = 0x00001234"}},
        {0, KVO_E_INVALID_PARAM, reg, {"comm register failed with error code = 0x84ce0002"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.calls);
        LogCapture log;
        PairRecorder pairs;
        CCollector collector;
        calls->clear();
        results[0] = c.init;
        results[1] = c.reg;
        EXPECT_EQ(c.init != 0 ? c.init : c.reg, collector.RegCollectData(RecordPair, &pairs));
        EXPECT_EQ(c.calls, *calls);
        EXPECT_EQ(c.errors, log.Messages("ERROR", "collector.cpp"));
        if (c.init == 0 && c.reg == 0) {
            // Delivered text reaches this collector, taken by its length; empty is refused.
            EXPECT_EQ(KVO_OK, deliver(text.data(), static_cast<uint32_t>(sys.size())));
            EXPECT_EQ(KVO_E_INVALID_PARAM, deliver("", 0));
            EXPECT_EQ(1u, pairs.Items().size());
        }
        collector.UnRegCollectData();
        EXPECT_EQ(c.calls + "unregister(" + kCommLibraryReceiver + ");uninit;", *calls);
        ExpectAllNull();
        EXPECT_TRUE(log.Messages("WARN", "collector.cpp").empty());
    }
    dlclose(fake);
}

}  // namespace
