// The comm library loader, and CCollector's registration against a stand-in
// library whose results the test sets and whose calls it reads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "collector/collector.h"
#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "comm/kvo_protocol.h"

namespace {

const char* const kSlotNames[kCommImplSlotCount] = {
    "kvo_comm_register", "kvo_comm_unregister", "kvo_comm_unregister_all", "kvo_comm_new_data",
    "kvo_comm_set_data", "kvo_comm_get_data",   "kvo_comm_delete_data",    "kvo_comm_send",
    "kvo_comm_post",     "kvo_comm_init",       "kvo_comm_uninit"};

// The table as twelve words: eleven slots, then the handle.
void* Word(size_t i) { return reinterpret_cast<void* const*>(GetCommImpl())[i]; }

void ExpectAllNull() {
    for (size_t i = 0; i <= kCommImplSlotCount; ++i) EXPECT_EQ(nullptr, Word(i)) << i;
}

std::string LibDir(const char* kind) {
    return kind ? std::string(KVO_TEST_FAKE_COMM_DIR) + "/" + kind + "/lib" : KVO_TEST_LIB_DIR;
}

// A missing library leaves every slot null. The partial stand-in lacks
// kvo_comm_post (slot 8): the slots before it are filled, the later ones stay
// null, and the library stays open until unloaded.
TEST(PluginLoader, SlotsFillInOrderUpToAMissingSymbolAndUnloadClearsThem) {
    TempDir noComm;
    const std::pair<std::string, size_t> cases[] = {
        {noComm.Path(), 0}, {LibDir("partial"), 8}, {LibDir(nullptr), 11}};
    for (const auto& c : cases) {
        const std::string path = c.first + "/libkvo_comm.so";
        SCOPED_TRACE(path);
        ScopedEnv base("KVO_BASE_DIR", c.first.c_str());
        EXPECT_EQ(c.second == kCommImplSlotCount ? 1 : 0, PluginLoaderInit());
        void* own = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_EQ(c.second == 0, own == nullptr);
        for (size_t i = 0; i < kCommImplSlotCount; ++i) {
            EXPECT_EQ(i < c.second ? dlsym(own, kSlotNames[i]) : nullptr, Word(i)) << kSlotNames[i];
        }
        EXPECT_EQ(c.second != 0, GetCommImpl()->handle != nullptr);
        PluginLoaderUnInit();
        ExpectAllNull();
        CCollector().UnRegCollectData();  // no slot to call
        ExpectAllNull();
        if (own != nullptr) dlclose(own);
        EXPECT_EQ(nullptr, dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) << "still mapped";
    }
}

struct RegistrationCase {
    uint32_t init, reg, want;
    const char* calls;  // up to the registration's end
    const char* error;
};

// Registration's calls, results and ERROR lines; UnRegCollectData then calls
// what the table holds, also as the rollback of a failed registration.
TEST(CollectorRegistration, CallsInitThenRegisterAndReportsFailures) {
    ScopedEnv base("KVO_BASE_DIR", LibDir("full").c_str());
    ScopedEnv tz("TZ", "UTC");
    void* fake = dlopen((LibDir("full") + "/libkvo_comm.so").c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, fake);  // held open: its record outlives each unload
    auto* calls = static_cast<std::string*>(dlsym(fake, "fake_calls"));
    auto* results = static_cast<uint32_t*>(dlsym(fake, "fake_results"));
    auto deliver =
        reinterpret_cast<uint32_t (*)(const char*, uint32_t)>(dlsym(fake, "fake_deliver"));
    // A system message at time 0 meets the zeroed process record.
    const std::string sys = Wrap(std::string("{\"header\":{\"id\":\"") + kCommSystemId +
                                 "\",\"time\":\"1970/1/1 0:0:0\"},\"body\":{\"cpu\":1}}");
    const std::string text = sys + "trailing bytes beyond the length";
    const std::string reg = std::string("init;register(") + kCommLibraryReceiver + ");";
    const RegistrationCase cases[] = {
        {0, 0, KVO_OK, reg.c_str(), nullptr},
        {0x1234, 0, 0x1234, "init;", "comm init failed with error code = 0x00001234"},
        {0, KVO_E_INVALID_PARAM, KVO_E_INVALID_PARAM, reg.c_str(),
         "comm register failed with error code = 0x84ce0002"},
    };
    for (const RegistrationCase& c : cases) {
        SCOPED_TRACE(c.calls);
        LogCapture log;
        PairRecorder pairs;
        CCollector collector;
        calls->clear();
        results[0] = c.init;
        results[1] = c.reg;
        EXPECT_EQ(c.want, collector.RegCollectData(RecordPair, &pairs));
        EXPECT_EQ(c.calls, *calls);
        EXPECT_EQ(c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{},
                  log.Messages("ERROR", "collector.cpp"));
        if (c.want == KVO_OK) {
            // Delivered text reaches this collector, taken by its length; empty is refused.
            EXPECT_EQ(KVO_OK, deliver(text.data(), static_cast<uint32_t>(sys.size())));
            EXPECT_EQ(KVO_E_INVALID_PARAM, deliver("", 0));
            EXPECT_EQ(1u, pairs.Items().size());
        }
        collector.UnRegCollectData();
        EXPECT_EQ(std::string(c.calls) + "unregister(" + kCommLibraryReceiver + ");uninit;",
                  *calls);
        ExpectAllNull();
        EXPECT_TRUE(log.Messages("WARN", "collector.cpp").empty());
    }
    dlclose(fake);
}

}  // namespace
