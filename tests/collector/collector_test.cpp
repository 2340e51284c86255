// CCollector: the message parse, its WARN lines and records, and the receiver.
#include "collector/collector.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collector_test_util.h"

namespace {

const char kSys[] = "29405D00-268C-4380-BB86-61CD57AED3E1";
const char kProc[] = "85780327-DA34-469B-BFD0-6519CCF8CBB1";
const char kT1[] = "2021/3/4 10:20:30";
const char kT2[] = "2021/3/4 10:20:31";
constexpr int64_t kT1Utc = 1614853230;

std::string Inner(const std::string& id, const std::string& time, const std::string& body) {
    return "{\"header\":{\"id\":" + JsonQuote(id) + ",\"time\":" + JsonQuote(time) +
           "},\"body\":" + body + "}";
}
std::string SysMsg(const std::string& time, const std::string& cpu, const std::string& id = kSys) {
    return Wrap(Inner(id, time, "{\"cpu\":" + cpu + "}"));
}
std::string ProcMsg(const std::string& time, const std::string& cpu, const std::string& ior,
                    const std::string& iow, const std::string& id = kProc) {
    return Wrap(
        Inner(id, time, "{\"cpu\":" + cpu + ",\"iorspeed\":" + ior + ",\"iowspeed\":" + iow + "}"));
}

// Times are read in the local zone: make it UTC so they have known values.
class CollectorParse : public ::testing::Test {
protected:
    void SetUp() override { tzset(); }
    ScopedEnv m_tz{"TZ", "UTC"};
    PairRecorder m_pairs;
    CCollector m_collector;
    LogCapture m_log;

    void Register() {
        // No comm library here: the registration fails, yet the callback is kept.
        ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
        EXPECT_EQ(KVO_E_FAIL, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    }
};

struct Step {
    std::string text;
    uint32_t want;
};

struct ParseCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> warns;  // WARN messages in order, exactly
    size_t callbacks;
};

std::vector<ParseCase> ParseCases() {
    const std::string ok1 = SysMsg(kT1, "42");
    const std::string proc1 = ProcMsg(kT1, "12.5", "100", "200");
    return {
        {"system then process with the same time", {{ok1, KVO_OK}, {proc1, KVO_OK}}, {}, 1},
        {"different times, then the process at the system's time",
         {{ok1, KVO_OK}, {ProcMsg(kT2, "1", "0", "0"), KVO_OK}, {proc1, KVO_OK}},
         {},
         1},
        {"lower-case id",
         {{SysMsg(kT1, "42", "29405d00-268c-4380-bb86-61cd57aed3e1"), KVO_OK},
          {ProcMsg(kT1, "12.5", "100", "200", "85780327-da34-469b-bfd0-6519ccf8cbb1"), KVO_OK}},
         {},
         1},
        {"id longer than 36 characters",
         {{SysMsg(kT1, "42", std::string(kSys) + "-and-more"), KVO_OK},
          {ProcMsg(kT1, "12.5", "100", "200", std::string(kProc) + "X"), KVO_OK}},
         {},
         1},
        {"outer array", {{"[1,2]", KVO_E_FAIL}}, {"failed to load json:([1,2])"}, 0},
        {"bare number", {{"42", KVO_E_FAIL}}, {"failed to load json:(42)"}, 0},
        {"outer text not JSON",
         {{"{\"context\":", KVO_E_FAIL}},
         {"failed to load json:({\"context\":)"},
         0},
        {"context is an object",
         {{"{\"context\":{\"header\":{}}}", KVO_E_FAIL}},
         {"get str context failed"},
         0},
        {"context missing", {{"{\"other\":\"x\"}", KVO_E_FAIL}}, {"get str context failed"}, 0},
        {"inner text not JSON",
         {{Wrap("not json"), KVO_E_FAIL}},
         {"failed to load json:(not json)"},
         0},
        {"inner array", {{Wrap("[]"), KVO_E_FAIL}}, {"failed to load json:([])"}, 0},
        {"header missing", {{Wrap("{\"body\":{}}"), KVO_E_FAIL}}, {"get object header failed"}, 0},
        {"header and body missing: header first",
         {{Wrap("{\"other\":1}"), KVO_E_FAIL}},
         {"get object header failed"},
         0},
        {"id and time missing: id first",
         {{Wrap("{\"header\":{},\"body\":{}}"), KVO_E_FAIL}},
         {"get str id failed"},
         0},
        {"header not an object",
         {{Wrap("{\"header\":\"h\",\"body\":{}}"), KVO_E_FAIL}},
         {"get object header failed"},
         0},
        {"body missing",
         {{Wrap("{\"header\":{\"id\":\"x\",\"time\":\"t\"}}"), KVO_E_FAIL}},
         {"get object body failed"},
         0},
        {"id missing",
         {{Wrap("{\"header\":{\"time\":\"t\"},\"body\":{}}"), KVO_E_FAIL}},
         {"get str id failed"},
         0},
        {"id not a string",
         {{Wrap("{\"header\":{\"id\":7,\"time\":\"t\"},\"body\":{}}"), KVO_E_FAIL}},
         {"get str id failed"},
         0},
        {"time missing",
         {{Wrap("{\"header\":{\"id\":\"x\"},\"body\":{}}"), KVO_E_FAIL}},
         {"get str time failed"},
         0},
        {"system cpu not a number",
         {{SysMsg(kT1, "\"high\""), KVO_E_FAIL}},
         {"get num cpu failed"},
         0},
        {"process cpu missing",
         {{Wrap(Inner(kProc, kT1, "{\"iorspeed\":1,\"iowspeed\":2}")), KVO_E_FAIL}},
         {"get num cpu failed"},
         0},
        {"process iorspeed is a real, then the system message at that time",
         {{ProcMsg(kT1, "12.5", "12.5", "200"), KVO_E_FAIL}, {ok1, KVO_OK}},
         {"get int iorspeed failed"},
         1},
        {"process iowspeed is a string",
         {{ProcMsg(kT1, "12.5", "100", "\"fast\""), KVO_E_FAIL}, {ok1, KVO_OK}},
         {"get int iowspeed failed"},
         1},
        {"unknown id between different times",
         {{ok1, KVO_OK}, {ProcMsg(kT2, "1", "0", "0"), KVO_OK}, {SysMsg(kT2, "5", "ABC"), KVO_OK}},
         {"invalid id data (ABC)"},
         0},
        {"unknown id while the times match still reports the pair",
         {{ok1, KVO_OK}, {proc1, KVO_OK}, {SysMsg(kT1, "99", "nope"), KVO_OK}},
         {"invalid id data (nope)"},
         2},
    };
}

TEST(CollectorParseTable, MessagesGiveTheirResultsWarningsAndCallbacks) {
    ScopedEnv tz("TZ", "UTC");
    tzset();
    for (const ParseCase& c : ParseCases()) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        PairRecorder pairs;
        CCollector collector;
        {
            ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
            collector.RegCollectData(PairRecorder::Cb, &pairs);
        }
        for (const Step& step : c.steps) {
            EXPECT_EQ(step.want, collector.DataParse(step.text.c_str())) << step.text;
        }
        EXPECT_EQ(c.callbacks, pairs.Pairs().size());
        std::vector<std::string> warns = log.Messages("WARN", "collector.cpp");
        ASSERT_FALSE(warns.empty());
        EXPECT_EQ("plugin loader init failed", warns.front());
        warns.erase(warns.begin());
        EXPECT_EQ(c.warns, warns);
    }
}

TEST_F(CollectorParse, ThePairCarriesBothFiguresAndTheConvertedTime) {
    Register();
    EXPECT_EQ(KVO_OK, m_collector.DataParse(SysMsg(kT1, "42").c_str()));
    EXPECT_TRUE(m_pairs.Pairs().empty());
    // Integers keep their low 32 bits: 2^32 + 100 and -200.
    EXPECT_EQ(KVO_OK, m_collector.DataParse(ProcMsg(kT1, "12.5", "4294967396", "-200").c_str()));
    std::vector<CollectedPair> pairs = m_pairs.Pairs();
    ASSERT_EQ(1u, pairs.size());
    EXPECT_FLOAT_EQ(42.0f, pairs[0].sys.cpu);
    EXPECT_EQ(kT1Utc, pairs[0].sys.time);
    EXPECT_FLOAT_EQ(12.5f, pairs[0].proc.cpu);
    EXPECT_EQ(100, pairs[0].proc.iorspeed);
    EXPECT_EQ(-200, pairs[0].proc.iowspeed);
    EXPECT_EQ(kT1Utc, pairs[0].proc.time);
    EXPECT_TRUE(pairs[0].sys.disks.empty());

    std::vector<std::string> debug = m_log.Messages("DEBUG", "collector.cpp");
    std::vector<std::string> want = {std::string("id:") + kSys + ", time:" + kT1, "sys cpu:42.00",
                                     std::string("id:") + kProc + ", time:" + kT1,
                                     "proc cpu:12.50"};
    EXPECT_EQ(want, debug);
}

TEST_F(CollectorParse, FieldsReadBeforeAFailureStay) {
    Register();
    // iowspeed fails: time, cpu and iorspeed of this message are kept and pair.
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse(ProcMsg(kT1, "7.5", "77", "1.5").c_str()));
    EXPECT_EQ(KVO_OK, m_collector.DataParse(SysMsg(kT1, "30").c_str()));
    // A system message whose cpu fails still moves the system time on.
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse(SysMsg(kT2, "null").c_str()));
    EXPECT_EQ(KVO_OK, m_collector.DataParse(ProcMsg(kT2, "3", "1", "1").c_str()));
    std::vector<CollectedPair> pairs = m_pairs.Pairs();
    ASSERT_EQ(2u, pairs.size());
    EXPECT_FLOAT_EQ(7.5f, pairs[0].proc.cpu);
    EXPECT_EQ(77, pairs[0].proc.iorspeed);
    EXPECT_EQ(0, pairs[0].proc.iowspeed);
    EXPECT_FLOAT_EQ(30.0f, pairs[0].sys.cpu);
    EXPECT_FLOAT_EQ(30.0f, pairs[1].sys.cpu);
    EXPECT_EQ(kT1Utc + 1, pairs[1].sys.time);
    EXPECT_FLOAT_EQ(3.0f, pairs[1].proc.cpu);
}

// A time without six numbers, or with a year or month that cannot be shifted in
// 32 bits, becomes kCollectorNoTime: two such messages pair like equal times.
TEST_F(CollectorParse, TimesWithoutSixNumbersBecomeNoTime) {
    const char* bad[] = {"",
                         "2021/3/4",
                         "2021/3/4 10:20",
                         "yesterday",
                         "-2147483648/1/1 0:0:0",
                         "2021/-2147483648/1 0:0:0"};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        PairRecorder pairs;
        CCollector collector;
        {
            ScopedEnv base("KVO_BASE_DIR", "/nonexistent-kvo-dir");
            collector.RegCollectData(PairRecorder::Cb, &pairs);
        }
        EXPECT_EQ(KVO_OK, collector.DataParse(SysMsg(text, "3").c_str()));
        EXPECT_EQ(KVO_OK, collector.DataParse(ProcMsg("garbage", "4", "0", "0").c_str()));
        ASSERT_EQ(1u, pairs.Pairs().size());
        EXPECT_EQ(kCollectorNoTime, pairs.Pairs()[0].sys.time);
    }
}

TEST_F(CollectorParse, WarnLinesCarryTheCollectorPrefix) {
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse("[]"));
    std::vector<LogLine> lines = m_log.Lines();
    ASSERT_EQ(1u, lines.size());
    char prefix[128];
    snprintf(prefix, sizeof(prefix), "[PID:%-5ld]\t[WARN]\t%-10s [collector.cpp(",
             static_cast<long>(getpid()), "[KVA]");
    EXPECT_EQ(0u, lines[0].raw.find(prefix)) << lines[0].raw;
    EXPECT_EQ("failed to load json:([])", lines[0].message);
}

TEST_F(CollectorParse, HugeAndDeepTextsAreRefusedWithoutHarm) {
    std::string huge(1 << 20, 'x');
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse(huge.c_str()));
    std::string deep(100000, '[');
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse(Wrap(deep).c_str()));
    std::string binary = Wrap(std::string("\x01\xff\xfe{\"a\"", 7));
    EXPECT_EQ(KVO_E_FAIL, m_collector.DataParse(binary.c_str()));
    std::vector<std::string> warns = m_log.Messages("WARN", "collector.cpp");
    ASSERT_EQ(3u, warns.size());
    // The logger cuts the line; the text it starts with is the message's own.
    EXPECT_EQ(0u, warns[0].find("failed to load json:(xxxx"));
    EXPECT_EQ(0u, warns[1].find("failed to load json:([[[["));
}

// The receiver's text comes through the table's kvo_comm_get_data.
struct FakeMessage {
    const char* text;
    uint32_t length;
    uint32_t rc;
};

uint32_t FakeGetData(comm_data* data, const char** text, uint32_t* length) {
    auto* message = reinterpret_cast<FakeMessage*>(data);
    *text = message->text;
    *length = message->length;
    return message->rc;
}

TEST_F(CollectorParse, ReceiverTakesTheTextThroughTheCommLibrary) {
    Register();
    CommImpl* table = GetCommImpl();
    ASSERT_EQ(nullptr, table->handle);
    table->comm_get_data = FakeGetData;
    const std::string sys = SysMsg(kT1, "42");
    const std::string proc = ProcMsg(kT1, "1", "2", "3") + "trailing bytes beyond the length";
    const uint32_t procLength = static_cast<uint32_t>(ProcMsg(kT1, "1", "2", "3").size());
    FakeMessage messages[] = {
        {"", 0, KVO_OK},              // empty: no parse
        {sys.data(), 5, KVO_E_FAIL},  // no text could be taken
        {"[1]\0{}", 6, KVO_OK},       // parse stops at the NUL
        {sys.data(), static_cast<uint32_t>(sys.size()), KVO_OK},
        {proc.data(), procLength, KVO_OK},  // not NUL-terminated
    };
    const uint32_t want[] = {KVO_E_INVALID_PARAM, KVO_E_INVALID_PARAM, KVO_E_FAIL, KVO_OK, KVO_OK};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(want[i], CCollector::DataReceiverCb(reinterpret_cast<comm_data*>(&messages[i]),
                                                      nullptr, &m_collector))
            << i;
    }
    table->comm_get_data = nullptr;
    EXPECT_EQ(1u, m_pairs.Pairs().size());
    std::vector<std::string> warns = m_log.Messages("WARN", "collector.cpp");
    ASSERT_EQ(2u, warns.size());  // the registration's, then the one for "[1]"
    EXPECT_EQ("failed to load json:([1])", warns[1]);
}

}  // namespace
