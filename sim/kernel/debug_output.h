// What a debugger attached to the machine would show: DbgPrint and
// OutputDebugString text, exactly as formatted.
#pragma once

#include "platform/base/types.h"

#include <cstdarg>
#include <map>
#include <mutex>
#include <string>

namespace sim {

class DebugOutput {
public:
    std::string Text() const;
    void Clear();
    void SetEcho(bool echo);  // also write it to stderr as it comes

    // DbgPrintEx filtering: the component's mask of enabled levels (bit n for
    // level n); DPFLTR_ERROR_LEVEL always passes.
    void SetComponentMask(ULONG componentId, ULONG mask);
    bool Passes(ULONG componentId, ULONG level) const;

    void Append(const std::string& text);

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::map<ULONG, ULONG> masks_;
    bool echo_ = false;
};

// printf formatting into a string.
std::string FormatV(const char* format, va_list args);

}  // namespace sim
