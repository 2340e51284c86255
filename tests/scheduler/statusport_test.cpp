// The status port against a scripted socket: who is answered, what a request
// costs, how a large answer is cut; and the per-thread figures it reports.
#include "scheduler/statusport.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "scheduler/threadctrlobject.h"
#include "support/fake_sched_env.h"

namespace {

constexpr uint32_t kRealUid = 1000;
constexpr uint32_t kEffectiveUid = 2000;

class FakeStatusEnv : public StatusEnv {
public:
    struct Incoming {
        std::string text;
        bool hasCreds;
        uint32_t uid;
    };
    std::deque<Incoming> incoming;
    std::vector<std::string> sent;
    std::vector<bool> closedRemoving;
    int receives = 0;

    int Open(std::string* path) override {
        *path = "/run/kvo_comm/77/kvo_vurizeda:status";
        return 5;
    }
    int Receive(int, char* buf, size_t size, _StatusPeer* peer) override {
        ++receives;
        if (incoming.empty()) return -1;
        const Incoming in = incoming.front();
        incoming.pop_front();
        memset(peer, 0, sizeof(*peer));
        peer->hasCreds = in.hasCreds;
        peer->uid = in.uid;
        if (in.text.size() > size) return 0;
        memcpy(buf, in.text.data(), in.text.size());
        return static_cast<int>(in.text.size());
    }
    int Send(int, const _StatusPeer&, const char* text, size_t length) override {
        sent.emplace_back(text, length);
        return 0;
    }
    void Close(int, const char*, bool removeFile) override { closedRemoving.push_back(removeFile); }
    uint32_t RealUid() override { return kRealUid; }
    uint32_t EffectiveUid() override { return kEffectiveUid; }
    uint32_t ProcessId() override { return 77; }
};

struct Collector {
    int calls = 0;
    std::vector<_ThreadFigures> rows;
    static void Cb(void* context, std::vector<_ThreadFigures>* rows) {
        auto* self = static_cast<Collector*>(context);
        ++self->calls;
        *rows = self->rows;
    }
};

_ThreadFigures Row(uint32_t tid, float limit) {
    return _ThreadFigures{tid, tid, limit, 12.5f, 100, 4, 40, false};
}

json_t* Parse(const std::string& text) {
    json_t* value = json_loadb(text.data(), text.size(), 0, nullptr);
    EXPECT_NE(value, nullptr) << text;
    return value;
}

void FillController(_ControllerStatus* status, void*) {
    memset(status, 0, sizeof(*status));
    status->running = 1;
    status->limit = 12;
    status->ceiling = 30;
    status->userPresent = -1;
}

TEST(StatusPort, OnlyTheOwnUsersAndRootAreAnswered) {
    struct Case {
        bool hasCreds;
        uint32_t uid;
        bool answered;
    };
    const Case kCases[] = {{true, kRealUid, true},
                           {true, kEffectiveUid, true},
                           {true, 0, true},
                           {true, 3000, false},
                           {false, kRealUid, false}};
    for (const Case& c : kCases) {
        FakeStatusEnv env;
        CStatusPort port(&env);
        port.Open();
        Collector collector;
        env.incoming.push_back({"status 9", c.hasCreds, c.uid});
        port.Poll("default", Collector::Cb, &collector);
        EXPECT_EQ(env.sent.size(), c.answered ? 1u : 0u) << "uid " << c.uid;
        EXPECT_EQ(collector.calls, c.answered ? 1 : 0) << "nothing is read for a stranger";
    }
}

TEST(StatusPort, OnlyWellFormedRequestsAreRead) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t seq;
    };
    const Case kCases[] = {
        {"status 7", true, 7},           {"status 4294967295", true, 4294967295u},
        {"status 4294967296", false, 0}, {"status", false, 0},
        {"status ", false, 0},           {"status 7x", false, 0},
        {"statux 7", false, 0},          {"status  7", false, 0}};
    for (const Case& c : kCases) {
        uint32_t seq = 0;
        EXPECT_EQ(ParseStatusRequest(c.text, strlen(c.text), &seq), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(seq, c.seq);
        }
    }
}

TEST(StatusPort, AnIdleTickCostsOneReceiveAndABurstIsBounded) {
    FakeStatusEnv env;
    CStatusPort port(&env);
    Collector collector;
    port.Poll("default", Collector::Cb, &collector);
    EXPECT_EQ(env.receives, 0) << "a port that is not open does nothing";
    port.Open();
    port.Poll("default", Collector::Cb, &collector);
    EXPECT_EQ(env.receives, 1);
    EXPECT_EQ(collector.calls, 0);
    for (int i = 0; i < 10; ++i) env.incoming.push_back({"status 1", true, kRealUid});
    env.receives = 0;
    port.Poll("default", Collector::Cb, &collector);
    EXPECT_EQ(env.receives, kStatusMaxRequestsPerTick);
    EXPECT_EQ(env.sent.size(), static_cast<size_t>(kStatusMaxRequestsPerTick));
    EXPECT_EQ(collector.calls, 1) << "the registry is read once per tick";
    port.Close();
    port.ForgetInChild();
    EXPECT_EQ(env.closedRemoving, std::vector<bool>{true}) << "closed once, file removed";
    port.Open();
    port.ForgetInChild();
    EXPECT_EQ(env.closedRemoving, (std::vector<bool>{true, false})) << "a child leaves the file";
}

TEST(StatusPort, ALargeAnswerIsCutIntoBoundedPartsInOrder) {
    std::vector<_ThreadFigures> rows;
    for (uint32_t tid = 1; tid <= 3000; ++tid) rows.push_back(Row(tid, 30));
    _ControllerStatus controller;
    FillController(&controller, nullptr);
    const std::vector<std::string> parts = StatusAnswer(77, 5, "default", &controller, rows);
    ASSERT_EQ(parts.size(), kStatusMaxParts);
    uint32_t next = 1;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_LE(parts[i].size(), kStatusMaxDatagram);
        json_t* part = Parse(parts[i]);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(json_integer_value(json_object_get(part, "part")),
                  static_cast<json_int_t>(i + 1));
        EXPECT_EQ(json_integer_value(json_object_get(part, "parts")),
                  static_cast<json_int_t>(kStatusMaxParts));
        EXPECT_EQ(json_integer_value(json_object_get(part, "seq")), 5);
        EXPECT_EQ(json_is_object(json_object_get(part, "controller")), i == 0);
        size_t r;
        json_t* row;
        json_array_foreach(json_object_get(part, "threads"), r, row) {
            EXPECT_EQ(json_integer_value(json_object_get(row, "tid")), next++);
        }
        if (i + 1 == parts.size()) {
            EXPECT_EQ(json_integer_value(json_object_get(part, "omitted")), 3001 - next);
        }
        json_decref(part);
    }
    EXPECT_GT(next, 500u) << "the parts are filled, not one row each";
}

TEST(StatusPort, TheControllerPartFollowsItsSource) {
    FakeStatusEnv env;
    CStatusPort port(&env);
    port.Open();
    Collector collector;
    collector.rows = {Row(11, 30)};
    int mine = 0, other = 0;
    StatusSetControllerSource(FillController, &mine);
    StatusClearControllerSource(&other);  // not the one set: stays
    for (int round = 0; round < 2; ++round) {
        env.incoming.push_back({"status 3", true, kRealUid});
        port.Poll("default", Collector::Cb, &collector);
        ASSERT_EQ(env.sent.size(), static_cast<size_t>(round + 1));
        json_t* answer = Parse(env.sent.back());
        json_t* controller = json_object_get(answer, "controller");
        if (round == 0) {
            EXPECT_EQ(json_real_value(json_object_get(controller, "ceiling")), 30.0);
            EXPECT_TRUE(json_is_null(json_object_get(controller, "user_present")));
        } else {
            EXPECT_TRUE(json_is_null(controller));
        }
        EXPECT_EQ(json_array_size(json_object_get(answer, "threads")), 1u);
        json_decref(answer);
        StatusClearControllerSource(&mine);
    }
}

// Figures of one object over whole seconds of fake /proc readings, one processor.
TEST(ThreadFigures, ShareAndSignalsCoverTheLastFullSecond) {
    FakeSchedEnv env;
    env.tid = 9;
    env.SetSignalResult(9, 0);
    int64_t total = 1000, thread = 100;
    env.SetTotalTime(total);
    env.SetThreadTime(5, static_cast<uint64_t>(thread), 0);
    auto* object = new CThreadCtrlObject(&env);
    ASSERT_TRUE(object->Attach(5, 50));
    auto tick = [&](int64_t dTotal, int64_t dThread) {
        env.SetTotalTime(total += dTotal);
        env.SetThreadTime(5, static_cast<uint64_t>(thread += dThread), 0);
        object->RefreshTime(250);
    };
    EXPECT_EQ(object->Figures().share, -1.0f) << "nothing measured yet";
    tick(100, 0);
    tick(100, 50);  // baseline
    tick(100, 40);
    tick(100, 30);  // the mark: 70 of 200
    EXPECT_FLOAT_EQ(object->Figures().share, 35.0f);
    const size_t signalsBefore = env.Signals().size();
    for (int i = 0; i < 4; ++i) tick(100, 10);  // the first tick's time counts at the second
    const _ThreadFigures f = object->Figures();
    EXPECT_FLOAT_EQ(f.share, 10.0f);
    EXPECT_EQ(f.signalsLastSecond, env.Signals().size() - signalsBefore);
    EXPECT_GT(f.signalsLastSecond, 0u);
    EXPECT_EQ(f.signalsSent, env.Signals().size());
    EXPECT_EQ(f.sleepMs, object->SleepMs());
    EXPECT_EQ(f.target, 9u);
    env.SetSignalResult(9, EPERM);  // refused signals are not counted
    for (int i = 0; i < 4; ++i) tick(100, 10);
    EXPECT_EQ(object->Figures().signalsLastSecond, 0u);
    object->Release();
}

}  // namespace
