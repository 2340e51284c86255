// The comm library loader and CCollector's registration against stand-in libraries.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <type_traits>

#include "collector/collector.h"
#include "collector/commimpl.h"
#include "collector_test_util.h"
#include "kvo_comm.h"

namespace {

// The comm library's own declarations must match the slots the loader fills.
static_assert(std::is_same<decltype(&kvo_comm_register), decltype(CommImpl::comm_register)>::value);
static_assert(
    std::is_same<decltype(&kvo_comm_unregister), decltype(CommImpl::comm_unregister)>::value);
static_assert(std::is_same<decltype(&kvo_comm_unregister_all),
                           decltype(CommImpl::comm_unregister_all)>::value);
static_assert(std::is_same<decltype(&kvo_comm_new_data), decltype(CommImpl::comm_new_data)>::value);
static_assert(std::is_same<decltype(&kvo_comm_set_data), decltype(CommImpl::comm_set_data)>::value);
static_assert(std::is_same<decltype(&kvo_comm_get_data), decltype(CommImpl::comm_get_data)>::value);
static_assert(
    std::is_same<decltype(&kvo_comm_delete_data), decltype(CommImpl::comm_delete_data)>::value);
static_assert(std::is_same<decltype(&kvo_comm_send), decltype(CommImpl::comm_send)>::value);
static_assert(std::is_same<decltype(&kvo_comm_post), decltype(CommImpl::comm_post)>::value);
static_assert(std::is_same<decltype(&kvo_comm_init), decltype(CommImpl::comm_init)>::value);
static_assert(std::is_same<decltype(&kvo_comm_uninit), decltype(CommImpl::comm_uninit)>::value);

const char* const kSlotNames[kCommImplSlotCount] = {
    "kvo_comm_register", "kvo_comm_unregister", "kvo_comm_unregister_all", "kvo_comm_new_data",
    "kvo_comm_set_data", "kvo_comm_get_data",   "kvo_comm_delete_data",    "kvo_comm_send",
    "kvo_comm_post",     "kvo_comm_init",       "kvo_comm_uninit"};

// The table as twelve words: eleven slots, then the handle.
void* const* Words() { return reinterpret_cast<void* const*>(GetCommImpl()); }

void ExpectAllNull() {
    for (size_t i = 0; i < kCommImplSlotCount + 1; ++i) EXPECT_EQ(nullptr, Words()[i]) << i;
}

class PluginLoader : public ::testing::Test {
protected:
    void TearDown() override {
        PluginLoaderUnInit();
        ExpectAllNull();
    }
};

TEST_F(PluginLoader, MissingLibraryLeavesEverySlotNull) {
    TempDir empty;
    ScopedEnv base("KVO_BASE_DIR", empty.Path().c_str());
    CommImpl* before = GetCommImpl();
    EXPECT_EQ(0, PluginLoaderInit());
    ExpectAllNull();
    PluginLoaderUnInit();  // nothing loaded: nothing to do
    EXPECT_EQ(before, GetCommImpl());
    ExpectAllNull();
}

TEST_F(PluginLoader, MissingSymbolStopsTheResolutionAndKeepsTheLibraryOpen) {
    ScopedEnv base("KVO_BASE_DIR", FakeCommBaseDir("partial").c_str());
    EXPECT_EQ(0, PluginLoaderInit());
    // kvo_comm_post is slot 8: the slots before it are filled, it and the later
    // ones (present in the library) stay null.
    for (size_t i = 0; i < kCommImplSlotCount; ++i) {
        if (i < 8) {
            EXPECT_NE(nullptr, Words()[i]) << kSlotNames[i];
        } else {
            EXPECT_EQ(nullptr, Words()[i]) << kSlotNames[i];
        }
    }
    EXPECT_NE(nullptr, GetCommImpl()->handle);
    CommImpl* before = GetCommImpl();
    PluginLoaderUnInit();
    EXPECT_EQ(before, GetCommImpl());
    ExpectAllNull();
}

TEST_F(PluginLoader, RealLibraryFillsEverySlotInOrder) {
    ScopedEnv base("KVO_BASE_DIR", BuildLibDir().c_str());
    ASSERT_EQ(1, PluginLoaderInit());
    void* own = dlopen((BuildLibDir() + "/libkvo_comm.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, own);
    for (size_t i = 0; i < kCommImplSlotCount; ++i) {
        EXPECT_EQ(dlsym(own, kSlotNames[i]), Words()[i]) << kSlotNames[i];
    }
    dlclose(own);
    PluginLoaderUnInit();
    ExpectAllNull();
    // Unloaded for real: the library is no longer mapped.
    EXPECT_EQ(nullptr, dlopen((BuildLibDir() + "/libkvo_comm.so").c_str(), RTLD_NOW | RTLD_NOLOAD));
}

// CCollector's registration against the full stand-in, whose results the test sets.
class CollectorRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake = dlopen((FakeCommBaseDir("full") + "/libkvo_comm.so").c_str(), RTLD_NOW);
        ASSERT_NE(nullptr, m_fake);
        m_setResults =
            reinterpret_cast<void (*)(uint32_t, uint32_t)>(dlsym(m_fake, "fake_comm_set_results"));
        m_calls = reinterpret_cast<const char* (*)()>(dlsym(m_fake, "fake_comm_calls"));
        m_deliver = reinterpret_cast<uint32_t (*)(const char*, uint32_t)>(
            dlsym(m_fake, "fake_comm_deliver"));
        m_context = reinterpret_cast<void* (*)()>(dlsym(m_fake, "fake_comm_context"));
        ASSERT_TRUE(m_setResults && m_calls && m_deliver && m_context);
    }
    void TearDown() override {
        PluginLoaderUnInit();
        if (m_fake != nullptr) dlclose(m_fake);
    }

    ScopedEnv m_base{"KVO_BASE_DIR", FakeCommBaseDir("full").c_str()};
    LogCapture m_log;
    PairRecorder m_pairs;
    CCollector m_collector;
    void* m_fake = nullptr;
    void (*m_setResults)(uint32_t, uint32_t) = nullptr;
    const char* (*m_calls)() = nullptr;
    uint32_t (*m_deliver)(const char*, uint32_t) = nullptr;
    void* (*m_context)() = nullptr;
};

TEST_F(CollectorRegistration, RegistersTheReceiverAndUnregistersInOrder) {
    m_setResults(0, 0);
    ASSERT_EQ(KVO_OK, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    EXPECT_STREQ("init;register(kvo_vurizeda:reciver);", m_calls());
    EXPECT_EQ(&m_collector, m_context());
    // A delivery reaches DataParse through the stand-in's kvo_comm_get_data.
    std::string sys = Wrap(
        "{\"header\":{\"id\":\"29405D00-268C-4380-BB86-61CD57AED3E1\",\"time\":\"1970/1/1 0:0:0\"},"
        "\"body\":{\"cpu\":1}}");
    EXPECT_EQ(KVO_OK, m_deliver(sys.data(), static_cast<uint32_t>(sys.size())));
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_deliver("", 0));
    m_collector.UnRegCollectData();
    EXPECT_STREQ("init;register(kvo_vurizeda:reciver);unregister(kvo_vurizeda:reciver);uninit;",
                 m_calls());
    ExpectAllNull();
    EXPECT_TRUE(m_log.Messages("ERROR", "collector.cpp").empty());
    EXPECT_TRUE(m_log.Messages("WARN", "collector.cpp").empty());
}

TEST_F(CollectorRegistration, InitFailureIsLoggedAndReturned) {
    m_setResults(0x1234, 0);
    EXPECT_EQ(0x1234u, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    EXPECT_STREQ("init;", m_calls());
    EXPECT_EQ(std::vector<std::string>{"comm init failed with error code = 0x00001234"},
              m_log.Messages("ERROR", "collector.cpp"));
    // The rollback calls what the table holds.
    m_collector.UnRegCollectData();
    EXPECT_STREQ("init;unregister(kvo_vurizeda:reciver);uninit;", m_calls());
}

TEST_F(CollectorRegistration, RegisterFailureIsLoggedAndReturned) {
    m_setResults(0, KVO_E_INVALID_PARAM);
    EXPECT_EQ(KVO_E_INVALID_PARAM, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    EXPECT_STREQ("init;register(kvo_vurizeda:reciver);", m_calls());
    EXPECT_EQ(std::vector<std::string>{"comm register failed with error code = 0x84ce0002"},
              m_log.Messages("ERROR", "collector.cpp"));
}

TEST_F(CollectorRegistration, IncompleteLibraryFailsAndRollsBackWithTheFilledSlots) {
    ScopedEnv partial("KVO_BASE_DIR", FakeCommBaseDir("partial").c_str());
    EXPECT_EQ(KVO_E_FAIL, m_collector.RegCollectData(PairRecorder::Cb, &m_pairs));
    EXPECT_EQ(std::vector<std::string>{"plugin loader init failed"},
              m_log.Messages("WARN", "collector.cpp"));
    // Held open here so its record outlives the loader's unload.
    void* own = dlopen((FakeCommBaseDir("partial") + "/libkvo_comm.so").c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, own);
    auto calls = reinterpret_cast<const char* (*)()>(dlsym(own, "fake_comm_calls"));
    ASSERT_NE(nullptr, calls);
    m_collector.UnRegCollectData();  // unregister is filled; uninit (slot 10) is not
    ExpectAllNull();
    EXPECT_STREQ("unregister(kvo_vurizeda:reciver);", calls());
    dlclose(own);
}

TEST_F(CollectorRegistration, UnregisterWithoutRegistrationDoesNothing) {
    m_collector.UnRegCollectData();
    ExpectAllNull();
    EXPECT_STREQ("", m_calls());
}

}  // namespace
