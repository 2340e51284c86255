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
    std::deque<std::pair<std::string, _StatusPeer>> incoming;
    std::vector<std::string> sent;
    int receives = 0;

    int Open(std::string* path) override {
        *path = "/run/kvo_comm/77/kvo_vurizeda:status";
        return 5;
    }
    int Receive(int, char* buf, size_t size, _StatusPeer* peer) override {
        ++receives;
        if (incoming.empty()) return -1;
        *peer = incoming.front().second;
        const size_t length = incoming.front().first.copy(buf, size);
        incoming.pop_front();
        return static_cast<int>(length);
    }
    int Send(int, const _StatusPeer&, const char* text, size_t length) override {
        sent.emplace_back(text, length);
        return 0;
    }
    void Close(int, const char*, bool) override {}
    uint32_t RealUid() override { return kRealUid; }
    uint32_t EffectiveUid() override { return kEffectiveUid; }
    uint32_t ProcessId() override { return 77; }
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

// A port over the fake; the registry it reads is `rows`, each reading counted.
class StatusPortTest : public ::testing::Test {
protected:
    // n requests from one peer, then one tick.
    void Ask(int n = 1, bool hasCreds = true, uint32_t uid = kRealUid) {
        _StatusPeer peer{};
        peer.hasCreds = hasCreds;
        peer.uid = uid;
        for (int i = 0; i < n; ++i) env.incoming.push_back({"status 3", peer});
        port.Poll("default", Collect, this);
    }
    static void Collect(void* context, std::vector<_ThreadFigures>* out) {
        auto* self = static_cast<StatusPortTest*>(context);
        ++self->reads;
        *out = self->rows;
    }

    FakeStatusEnv env;
    CStatusPort port{&env};
    std::vector<_ThreadFigures> rows;
    int reads = 0;
};

TEST_F(StatusPortTest, OnlyTheOwnUsersAndRootAreAnswered) {
    // has credentials, uid, answered
    const uint32_t kPeers[][3] = {
        {1, kRealUid, 1}, {1, kEffectiveUid, 1}, {1, 0, 1}, {1, 3000, 0}, {0, kRealUid, 0}};
    port.Open();
    for (const auto& [hasCreds, uid, answered] : kPeers) {
        env.sent.clear();
        reads = 0;
        Ask(1, hasCreds, uid);
        EXPECT_EQ(env.sent.size(), static_cast<size_t>(answered)) << "uid " << uid;
        EXPECT_EQ(reads, static_cast<int>(answered)) << "nothing is read for a stranger";
    }
}

TEST_F(StatusPortTest, OnlyWellFormedRequestsAreRead) {
    const std::pair<const char*, int64_t> kCases[] = {
        // the sequence number; -1: refused
        {"status 7", 7},           {"status 4294967295", 4294967295},
        {"status 4294967296", -1}, {"status", -1},
        {"status 7x", -1},         {"statux 7", -1}};
    for (const auto& c : kCases) {
        uint32_t seq = 0;
        EXPECT_EQ(ParseStatusRequest(c.first, strlen(c.first), &seq), c.second >= 0) << c.first;
        EXPECT_TRUE(c.second < 0 || seq == c.second) << seq;
    }
}

TEST_F(StatusPortTest, AnIdleTickCostsOneReceiveAndABurstIsBounded) {
    Ask(0);
    EXPECT_EQ(env.receives, 0) << "a port that is not open does nothing";
    port.Open();
    Ask(0);
    EXPECT_EQ(env.receives, 1);
    EXPECT_EQ(reads, 0);
    env.receives = 0;
    Ask(10);
    EXPECT_EQ(env.receives, kStatusMaxRequestsPerTick);
    EXPECT_EQ(env.sent.size(), static_cast<size_t>(kStatusMaxRequestsPerTick));
    EXPECT_EQ(reads, 1) << "the registry is read once per tick";
}

TEST_F(StatusPortTest, ALargeAnswerIsCutIntoBoundedPartsInOrder) {
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

TEST_F(StatusPortTest, TheControllerPartFollowsItsSource) {
    port.Open();
    int mine = 0, other = 0;
    StatusSetControllerSource(FillController, &mine);
    StatusClearControllerSource(&other);  // not the one set: stays
    Ask();
    StatusClearControllerSource(&mine);
    Ask();
    ASSERT_EQ(env.sent.size(), 2u);
    json_t* set = Parse(env.sent[0]);
    json_t* cleared = Parse(env.sent[1]);
    json_t* controller = json_object_get(set, "controller");
    EXPECT_EQ(json_real_value(json_object_get(controller, "ceiling")), 30.0);
    EXPECT_TRUE(json_is_null(json_object_get(controller, "user_present")));
    EXPECT_TRUE(json_is_null(json_object_get(cleared, "controller")));
    json_decref(set);
    json_decref(cleared);
}

}  // namespace
