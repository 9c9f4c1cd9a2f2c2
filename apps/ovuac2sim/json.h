// A small streaming JSON writer for the simulator's report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ovusim {

class JsonWriter {
public:
    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray() { return Open('['); }
    JsonWriter& EndArray() { return Close(']'); }
    JsonWriter& Key(std::string_view key) {
        Separate();
        String(key);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }
    JsonWriter& Value(std::string_view text) {
        Separate();
        String(text);
        return *this;
    }
    JsonWriter& Value(const char* text) { return Value(std::string_view(text)); }
    JsonWriter& Value(bool b) {
        Separate();
        out_ += b ? "true" : "false";
        return *this;
    }
    JsonWriter& Value(std::int64_t n) {
        Separate();
        out_ += std::to_string(n);
        return *this;
    }
    JsonWriter& Value(std::uint64_t n) {
        Separate();
        out_ += std::to_string(n);
        return *this;
    }
    JsonWriter& Value(int n) { return Value(static_cast<std::int64_t>(n)); }
    JsonWriter& Value(unsigned n) { return Value(static_cast<std::uint64_t>(n)); }
    JsonWriter& Value(double d) {
        Separate();
        out_ += std::to_string(d);
        return *this;
    }
    template <class T>
    JsonWriter& Field(std::string_view key, T value) {
        Key(key);
        return Value(value);
    }
    const std::string& Text() const { return out_; }

private:
    JsonWriter& Open(char c) {
        Separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& Close(char c) {
        out_ += c;
        first_.pop_back();
        return *this;
    }
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (!first_.empty()) {
            if (!first_.back()) out_ += ',';
            first_.back() = false;
        }
    }
    void String(std::string_view text) {
        out_ += '"';
        for (unsigned char c : text) {
            switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\n': out_ += "\\n"; break;
            case '\r': out_ += "\\r"; break;
            case '\t': out_ += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                    out_ += buffer;
                } else {
                    out_ += static_cast<char>(c);
                }
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

}  // namespace ovusim
