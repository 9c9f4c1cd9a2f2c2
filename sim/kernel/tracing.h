// A machine's tracing: the providers registered on it, what is enabled for
// them, and the captured lines. A provider belongs to the process that
// registered it (System for the kernel's), as an event-tracing registration
// does; each line records that process, so a test can read one process's
// trace, and a process's providers go when it exits.
#pragma once

#include "platform/trace/trace.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct TraceLine {
    DWORD pid;  // the process that registered the provider
    std::string provider;
    UCHAR level;
    ULONG flags;
    std::string text;
};

class Tracing {
public:
    Tracing() = default;
    ~Tracing();
    Tracing(const Tracing&) = delete;
    Tracing& operator=(const Tracing&) = delete;

    // Enables the provider named `provider` ("*": every provider) at `level`
    // (TRACE_LEVEL_NONE disables) for `flags`; applies to providers already
    // registered and to later registrations.
    void Enable(const std::string& provider, UCHAR level, ULONG flags = 0xFFFFFFFF);
    void Disable(const std::string& provider) { Enable(provider, TRACE_LEVEL_NONE, 0); }

    std::vector<TraceLine> Lines() const;
    // The lines of the providers process `pid` registered.
    std::vector<TraceLine> Lines(DWORD pid) const;
    // The lines' texts, each followed by "\n".
    std::string Text() const;
    void Clear();
    // Also print each line to stderr as it is traced ("[provider] text").
    void SetEcho(bool echo);

    std::vector<std::string> RegisteredProviders() const;

    NTSTATUS Register(TRACE_PROVIDER* provider);
    void Unregister(TRACE_PROVIDER* provider);
    void Write(TRACE_PROVIDER* provider, UCHAR level, ULONG flags, std::string text);
    // Unregisters the providers process `pid` registered (its exit).
    void UnregisterProcess(DWORD pid);
    // Unregisters everything (machine shutdown).
    void Shutdown();

private:
    struct Setting {
        UCHAR level;
        ULONG flags;
    };
    Setting SettingFor(const TRACE_PROVIDER* provider) const;  // mutex_ held
    void Apply(TRACE_PROVIDER* provider);                      // mutex_ held

    mutable std::mutex mutex_;
    std::map<TRACE_PROVIDER*, DWORD> providers_;  // the registering process
    std::map<std::string, Setting> settings_;  // by name; "*" for all
    std::vector<TraceLine> lines_;
    bool echo_ = false;
};

}  // namespace sim
