// Change notification (RegNotifyChangeKeyValue) and the registry under
// concurrent use: watcher threads like the control panel's, writers and
// readers on several threads.
#include "tests/sim_registry/helpers.h"

#include "platform/win32/registry.h"
#include "platform/win32/synch.h"
#include "sim/machine.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace regtest;

namespace {

constexpr const char16_t* kSettings = u"Software\\ORVA\\UAC-2 Driver";
constexpr const char* kSettingsPath = "HKCU\\Software\\ORVA\\UAC-2 Driver";

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

HKEY OpenSettings(REGSAM access) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, access, &key), ERROR_SUCCESS);
    return key;
}

TEST(RegistryNotify, FilterAndSubtreeDecideWhichChangesSignal) {
    constexpr DWORD kName = REG_NOTIFY_CHANGE_NAME;
    constexpr DWORD kLastSet = REG_NOTIFY_CHANGE_LAST_SET;
    const std::string child = std::string(kSettingsPath) + "\\Child";
    struct Case {
        const char* what;
        BOOL subtree;
        DWORD filter;
        std::function<void(sim::Registry&)> change;
        bool signalled;
    };
    const std::vector<Case> cases = {
        {"subkey created", FALSE, kName, [&](auto& r) { r.CreateKey(std::string(kSettingsPath) + "\\New"); }, true},
        {"subkey deleted", FALSE, kName, [&](auto& r) { r.DeleteKey(child); }, true},
        {"grandchild, key only", FALSE, kName, [&](auto& r) { r.CreateKey(child + "\\New"); }, false},
        {"grandchild, subtree", TRUE, kName, [&](auto& r) { r.CreateKey(child + "\\New"); }, true},
        {"value changed", FALSE, kLastSet, [](auto& r) { r.SetDword(kSettingsPath, "buffer_size", 512); }, true},
        {"value added", FALSE, kLastSet, [](auto& r) { r.SetDword(kSettingsPath, "new", 1); }, true},
        {"value deleted", FALSE, kLastSet, [](auto& r) { r.DeleteValue(kSettingsPath, "buffer_size"); }, true},
        {"same value again", FALSE, kLastSet, [](auto& r) { r.SetDword(kSettingsPath, "buffer_size", 256); }, false},
        {"child value, key only", FALSE, kLastSet, [&](auto& r) { r.SetDword(child, "v", 2); }, false},
        {"child value, subtree", TRUE, kLastSet, [&](auto& r) { r.SetDword(child, "v", 2); }, true},
        {"value, name filter", TRUE, kName, [](auto& r) { r.SetDword(kSettingsPath, "buffer_size", 512); }, false},
        {"subkey, last-set filter", TRUE, kLastSet, [&](auto& r) { r.CreateKey(child + "\\New"); }, false},
        {"sibling key", TRUE, kName | kLastSet, [](auto& r) { r.SetDword("HKCU\\Software\\ORVA\\Other", "v", 1); },
         false},
        {"kernel-mode write", FALSE, kLastSet,
         [](auto&) {
             ZwKey key;
             key.Open((u"\\Registry\\User\\" + std::u16string(sim::Registry::kDefaultUserSid) +
                       u"\\Software\\ORVA\\UAC-2 Driver").c_str());
             UNICODE_STRING name = Name(u"sampling_rate");
             ULONG rate = 96000;
             ZwSetValueKey(key.get(), &name, 0, REG_DWORD, &rate, sizeof rate);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine;
        ASSERT_TRUE(machine.registry().SetDword(kSettingsPath, "buffer_size", 256));
        ASSERT_TRUE(machine.registry().SetDword(child, "v", 1));
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HKEY key = OpenSettings(KEY_NOTIFY);
        ASSERT_EQ(RegNotifyChangeKeyValue(key, c.subtree, c.filter, event, TRUE), ERROR_SUCCESS);
        EXPECT_FALSE(Signalled(event));
        c.change(machine.registry());
        EXPECT_EQ(Signalled(event), c.signalled);
        RegCloseKey(key);
        CloseHandle(event);
    }
}

TEST(RegistryNotify, OneSignalPerRequestAndChangesInBetweenAreKept) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    ASSERT_TRUE(r.CreateKey(kSettingsPath));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY key = OpenSettings(KEY_NOTIFY);
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

    ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, filter, event, TRUE), ERROR_SUCCESS);
    r.SetDword(kSettingsPath, "a", 1);
    EXPECT_TRUE(Signalled(event));
    ResetEvent(event);
    r.SetDword(kSettingsPath, "a", 2);  // no request waits: the change is kept...
    r.SetDword(kSettingsPath, "a", 3);
    EXPECT_FALSE(Signalled(event));
    ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, filter, event, TRUE), ERROR_SUCCESS);
    EXPECT_TRUE(Signalled(event));  // ...and completes the next request at once, once
    ResetEvent(event);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, filter, event, TRUE), ERROR_SUCCESS);
    EXPECT_FALSE(Signalled(event));
    r.CreateKey(std::string(kSettingsPath) + "\\Sub");
    EXPECT_TRUE(Signalled(event));
    RegCloseKey(key);
    CloseHandle(event);
}

TEST(RegistryNotify, ClosingOrDeletingTheKeyCompletesTheRequest) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    ASSERT_TRUE(r.CreateKey(kSettingsPath));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    HKEY key = OpenSettings(KEY_NOTIFY);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(Signalled(event));
    ResetEvent(event);

    key = OpenSettings(KEY_NOTIFY);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kSettings), ERROR_SUCCESS);
    EXPECT_TRUE(Signalled(event));
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_KEY_DELETED);
    RegCloseKey(key);

    // The request holds its event: closing the event's handle first is safe.
    ASSERT_TRUE(r.CreateKey(kSettingsPath));
    key = OpenSettings(KEY_NOTIFY);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    CloseHandle(event);
    r.SetDword(kSettingsPath, "v", 1);
    RegCloseKey(key);
}

TEST(RegistryNotify, ArgumentChecks) {
    sim::Machine machine;
    ASSERT_TRUE(machine.registry().CreateKey(kSettingsPath));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HKEY key = OpenSettings(KEY_NOTIFY);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, 0x100, event, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(key), TRUE),
              ERROR_INVALID_HANDLE);  // a key is not an event
    HKEY reader = OpenSettings(KEY_QUERY_VALUE);
    EXPECT_EQ(RegNotifyChangeKeyValue(reader, FALSE, REG_NOTIFY_CHANGE_NAME, event, TRUE), ERROR_ACCESS_DENIED);
    RegCloseKey(reader);
    RegCloseKey(key);
    CloseHandle(event);
}

// The control panel's watcher: re-arm, wait for {stop, change}, report, and
// on stop close the key and wait for the completion that closing causes.
TEST(RegistryNotify, WatcherThreadSeesEveryChangeAndStopsCleanly) {
    sim::Machine machine;
    ASSERT_TRUE(machine.registry().CreateKey(kSettingsPath));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex;
    std::condition_variable seen;
    int changes = 0;
    bool registered = false;
    LSTATUS watcherResult = ERROR_GEN_FAILURE;

    std::thread watcher([&] {
        sim::MachineScope scope(machine);
        HANDLE change = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HKEY key = OpenSettings(KEY_NOTIFY);
        for (;;) {
            watcherResult = RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                    change, TRUE);
            if (watcherResult != ERROR_SUCCESS) break;
            {
                // From the first request on, the handle keeps every change.
                std::lock_guard lock(mutex);
                registered = true;
                seen.notify_all();
            }
            const HANDLE handles[2] = {stop, change};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
                RegCloseKey(key);
                WaitForSingleObject(change, INFINITE);  // closing completed the request
                break;
            }
            std::lock_guard lock(mutex);
            ++changes;
            seen.notify_all();
        }
        CloseHandle(change);
    });

    constexpr int kWrites = 20;
    HKEY writer = OpenSettings(KEY_WRITE);
    {
        std::unique_lock lock(mutex);
        seen.wait(lock, [&] { return registered; });
    }
    for (int i = 1; i <= kWrites; ++i) {
        // Alternate values and keys; each change is seen before the next.
        const DWORD value = static_cast<DWORD>(i);
        if (i % 2)
            ASSERT_EQ(RegSetValueExW(writer, u"buffer_size", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                      ERROR_SUCCESS);
        else
            ASSERT_TRUE(machine.registry().CreateKey(std::string(kSettingsPath) + "\\K" + std::to_string(i)));
        std::unique_lock lock(mutex);
        seen.wait(lock, [&] { return changes >= i; });
    }
    SetEvent(stop);
    watcher.join();
    EXPECT_EQ(changes, kWrites);
    EXPECT_EQ(watcherResult, ERROR_SUCCESS);
    RegCloseKey(writer);
    CloseHandle(stop);
}

TEST(RegistryNotify, SynchronousRequestReturnsOnAChange) {
    sim::Machine machine;
    ASSERT_TRUE(machine.registry().CreateKey(kSettingsPath));
    std::atomic<bool> done = false;
    LSTATUS result = ERROR_GEN_FAILURE;
    std::thread waiter([&] {
        sim::MachineScope scope(machine);
        HKEY key = OpenSettings(KEY_NOTIFY);
        result = RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
        RegCloseKey(key);
        done = true;
    });
    // A change before the request exists is not kept, so keep changing
    // until the waiter has seen one.
    for (DWORD i = 0; !done; ++i) {
        machine.registry().SetDword(kSettingsPath, "v", i);
        std::this_thread::yield();
    }
    waiter.join();
    EXPECT_EQ(result, ERROR_SUCCESS);
}

TEST(RegistryConcurrency, WritersAndReadersOnManyThreads) {
    sim::Machine machine;
    constexpr int kThreads = 4;
    constexpr int kKeys = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            sim::MachineScope scope(machine);
            const std::u16string base = u"Software\\Ovu\\T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int k = 0; k < kKeys; ++k) {
                HKEY key = nullptr;
                const std::u16string path = base + u"\\K" + std::u16string(1, static_cast<char16_t>(u'A' + k % 26)) +
                                            std::u16string(1, static_cast<char16_t>(u'0' + k / 26));
                ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &key, nullptr),
                          ERROR_SUCCESS);
                const DWORD value = static_cast<DWORD>(k);
                ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                          ERROR_SUCCESS);
                RegCloseKey(key);
                // Read everything the other writers have made so far.
                HKEY ovu = nullptr;
                ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Ovu", 0, KEY_READ, &ovu), ERROR_SUCCESS);
                WCHAR name[32];
                for (DWORD i = 0;; ++i) {
                    DWORD chars = 32;
                    if (RegEnumKeyExW(ovu, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
                    DWORD subkeys = 0;
                    HKEY sub = nullptr;
                    if (RegOpenKeyExW(ovu, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
                        RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
                        RegCloseKey(sub);
                    }
                }
                RegCloseKey(ovu);
                machine.registry().ExportRegText("HKCU\\Software\\Ovu");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(machine.registry().SubkeyNames("HKCU\\Software\\Ovu\\T" + std::to_string(t)).size(),
                  static_cast<std::size_t>(kKeys));
}

}  // namespace
