#include "sim/kernel/tracing.h"

#include "sim/kernel/debug_output.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/user/process.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

Tracing::~Tracing() { Shutdown(); }

Tracing::Setting Tracing::SettingFor(const TRACE_PROVIDER* provider) const {
    auto named = settings_.find(provider->Name != nullptr ? provider->Name : "");
    if (named != settings_.end()) return named->second;
    auto all = settings_.find("*");
    if (all != settings_.end()) return all->second;
    return {TRACE_LEVEL_NONE, 0};
}

void Tracing::Apply(TRACE_PROVIDER* provider) {
    const Setting setting = SettingFor(provider);
    __atomic_store_n(&provider->EnabledFlags, setting.flags, __ATOMIC_RELAXED);
    __atomic_store_n(&provider->EnabledLevel, setting.level, __ATOMIC_RELAXED);
}

void Tracing::Enable(const std::string& provider, UCHAR level, ULONG flags) {
    std::lock_guard lock(mutex_);
    settings_[provider] = {level, flags};
    for (auto& [registered, pid] : providers_) Apply(registered);
}

std::vector<TraceLine> Tracing::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<TraceLine> Tracing::Lines(DWORD pid) const {
    std::lock_guard lock(mutex_);
    std::vector<TraceLine> lines;
    for (const TraceLine& line : lines_)
        if (line.pid == pid) lines.push_back(line);
    return lines;
}

std::string Tracing::Text() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const TraceLine& line : lines_) text += line.text + "\n";
    return text;
}

void Tracing::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void Tracing::SetEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

std::vector<std::string> Tracing::RegisteredProviders() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [provider, pid] : providers_) names.emplace_back(provider->Name != nullptr ? provider->Name : "");
    return names;
}

NTSTATUS Tracing::Register(TRACE_PROVIDER* provider) {
    std::lock_guard lock(mutex_);
    if (provider->Session != nullptr) return STATUS_INVALID_PARAMETER;
    provider->Session = this;
    const Process* process = CurrentProcessOrNull();
    providers_.emplace(provider, process != nullptr ? process->Id() : 4);
    Apply(provider);
    return STATUS_SUCCESS;
}

void Tracing::Unregister(TRACE_PROVIDER* provider) {
    std::lock_guard lock(mutex_);
    if (providers_.erase(provider) == 0) return;
    provider->Session = nullptr;
    __atomic_store_n(&provider->EnabledLevel, TRACE_LEVEL_NONE, __ATOMIC_RELAXED);
}

void Tracing::Write(TRACE_PROVIDER* provider, UCHAR level, ULONG flags, std::string text) {
    std::lock_guard lock(mutex_);
    auto registered = providers_.find(provider);
    if (registered == providers_.end()) return;
    // The record's mask may be another machine's; this machine's setting rules.
    const Setting setting = SettingFor(provider);
    if (level == 0 || level > setting.level || (flags != 0 && (flags & setting.flags) == 0)) return;
    if (echo_) std::fprintf(stderr, "[%s] %s\n", provider->Name, text.c_str());
    lines_.push_back({registered->second, provider->Name != nullptr ? provider->Name : "", level, flags, std::move(text)});
}

void Tracing::UnregisterProcess(DWORD pid) {
    std::lock_guard lock(mutex_);
    for (auto it = providers_.begin(); it != providers_.end();) {
        if (it->second != pid) {
            ++it;
            continue;
        }
        it->first->Session = nullptr;
        __atomic_store_n(&it->first->EnabledLevel, TRACE_LEVEL_NONE, __ATOMIC_RELAXED);
        it = providers_.erase(it);
    }
}

void Tracing::Shutdown() {
    std::lock_guard lock(mutex_);
    for (auto& [provider, pid] : providers_) {
        provider->Session = nullptr;
        __atomic_store_n(&provider->EnabledLevel, TRACE_LEVEL_NONE, __ATOMIC_RELAXED);
    }
    providers_.clear();
}

}  // namespace sim

NTSTATUS TraceRegisterProvider(TRACE_PROVIDER* provider) {
    return sim::CurrentMachine().kernel().tracing().Register(provider);
}

void TraceUnregisterProvider(TRACE_PROVIDER* provider) {
    if (provider->Session != nullptr) static_cast<sim::Tracing*>(provider->Session)->Unregister(provider);
}

void TraceFormatted(TRACE_PROVIDER* provider, UCHAR level, ULONG flags, const char* format, ...) {
    sim::Machine* machine = sim::Machine::Current();
    if (machine == nullptr) return;
    va_list args;
    va_start(args, format);
    std::string text = sim::FormatV(format, args);
    va_end(args);
    machine->kernel().tracing().Write(provider, level, flags, std::move(text));
}
