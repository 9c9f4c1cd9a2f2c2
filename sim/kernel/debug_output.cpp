#include "sim/kernel/debug_output.h"

#include "platform/base/ntstatus.h"
#include "platform/trace/debug.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"

#include <cstdio>

namespace sim {

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < sizeof(small)) return std::string(small, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string DebugOutput::Text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

void DebugOutput::Clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
}

void DebugOutput::SetEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

void DebugOutput::SetComponentMask(ULONG componentId, ULONG mask) {
    std::lock_guard lock(mutex_);
    masks_[componentId] = mask;
}

bool DebugOutput::Passes(ULONG componentId, ULONG level) const {
    const ULONG bits = level > 31 ? (level & ~DPFLTR_MASK) : (ULONG{1} << level);
    if (bits & 1) return true;  // DPFLTR_ERROR_LEVEL
    std::lock_guard lock(mutex_);
    auto it = masks_.find(componentId);
    return it != masks_.end() && (it->second & bits) != 0;
}

void DebugOutput::Append(const std::string& text) {
    std::lock_guard lock(mutex_);
    text_ += text;
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace sim

namespace {

sim::DebugOutput* Debugger() {
    sim::Machine* machine = sim::Machine::Current();
    return machine != nullptr ? &machine->kernel().debugger() : nullptr;
}

}  // namespace

ULONG DbgPrint(PCSTR format, ...) {
    if (sim::DebugOutput* debugger = Debugger()) {
        va_list args;
        va_start(args, format);
        debugger->Append(sim::FormatV(format, args));
        va_end(args);
    }
    return static_cast<ULONG>(STATUS_SUCCESS);
}

ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
    sim::DebugOutput* debugger = Debugger();
    if (debugger != nullptr && debugger->Passes(componentId, level)) {
        va_list args;
        va_start(args, format);
        debugger->Append(sim::FormatV(format, args));
        va_end(args);
    }
    return static_cast<ULONG>(STATUS_SUCCESS);
}

void OutputDebugStringA(PCSTR outputString) {
    if (sim::DebugOutput* debugger = Debugger()) debugger->Append(outputString);
}

void OutputDebugStringW(PCWSTR outputString) {
    sim::DebugOutput* debugger = Debugger();
    if (debugger == nullptr) return;
    std::string text;
    for (const WCHAR* p = outputString; *p != 0; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    debugger->Append(text);
}
