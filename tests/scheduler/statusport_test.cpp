// The status port against a scripted socket: who is answered, what a request
// costs, how a large answer is cut. The figures it reports are tested with the
// control objects.
#include "scheduler/statusport.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

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
        *peer = _StatusPeer{};
        peer->hasCreds = in.hasCreds;
        peer->uid = in.uid;
        return static_cast<int>(in.text.copy(buf, size));
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

_ThreadFigures Row(uint32_t tid) { return _ThreadFigures{tid, tid, 30, 12.5f, 100, 4, 40, false}; }
json_int_t Int(json_t* object, const char* key) {
    return json_integer_value(json_object_get(object, key));
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
    const std::pair<bool, uint32_t> kPeers[] = {// has credentials, uid
                                                {true, kRealUid},
                                                {true, kEffectiveUid},
                                                {true, 0},
                                                {true, 3000},
                                                {false, kRealUid}};
    FakeStatusEnv env;
    CStatusPort port(&env);
    port.Open();
    Collector collector;
    for (const auto& c : kPeers) {
        const int answered = c.first && c.second != 3000 ? 1 : 0;
        const size_t sent = env.sent.size();
        const int calls = collector.calls;
        env.incoming.push_back({"status 9", c.first, c.second});
        port.Poll("default", Collector::Cb, &collector);
        EXPECT_EQ(env.sent.size(), sent + answered) << "uid " << c.second;
        EXPECT_EQ(collector.calls, calls + answered) << "nothing is read for a stranger";
    }
}

TEST(StatusPort, OnlyWellFormedRequestsAreRead) {
    const std::pair<const char*, int64_t> kCases[] = {
        // the sequence number; -1: refused
        {"status 7", 7},           {"status 4294967295", 4294967295},
        {"status 4294967296", -1}, {"status", -1},
        {"status ", -1},           {"status 7x", -1},
        {"statux 7", -1},          {"status  7", -1}};
    for (const auto& c : kCases) {
        uint32_t seq = 0;
        EXPECT_EQ(ParseStatusRequest(c.first, strlen(c.first), &seq), c.second >= 0) << c.first;
        EXPECT_TRUE(c.second < 0 || seq == c.second) << seq;
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
    for (uint32_t tid = 1; tid <= 3000; ++tid) rows.push_back(Row(tid));
    _ControllerStatus controller;
    FillController(&controller, nullptr);
    const std::vector<std::string> parts = StatusAnswer(77, 5, "default", &controller, rows);
    ASSERT_EQ(parts.size(), kStatusMaxParts);
    uint32_t next = 1;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_LE(parts[i].size(), kStatusMaxDatagram);
        json_t* part = Parse(parts[i]);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(Int(part, "part"), static_cast<json_int_t>(i + 1));
        EXPECT_EQ(Int(part, "parts"), static_cast<json_int_t>(kStatusMaxParts));
        EXPECT_EQ(Int(part, "seq"), 5);
        EXPECT_EQ(json_is_object(json_object_get(part, "controller")), i == 0);
        size_t r;
        json_t* row;
        json_array_foreach(json_object_get(part, "threads"), r, row) {
            EXPECT_EQ(Int(row, "tid"), next++);
        }
        // The last part counts the rows left out.
        EXPECT_TRUE(i + 1 < parts.size() || Int(part, "omitted") == 3001 - next);
        json_decref(part);
    }
    EXPECT_GT(next, 500u) << "the parts are filled, not one row each";
}

TEST(StatusPort, TheControllerPartFollowsItsSource) {
    FakeStatusEnv env;
    CStatusPort port(&env);
    port.Open();
    Collector collector;
    collector.rows = {Row(11)};
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

}  // namespace
