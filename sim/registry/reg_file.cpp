// Import and export of the regedit text format.
#include "sim/registry/registry.h"
#include "sim/registry/store.h"
#include "sim/strings.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

using reg::Node;
using reg::Signals;

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::u16string_view Trim(std::u16string_view s) { return TrimRight(TrimLeft(s)); }

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// 1 to `maxDigits` hex digits, the whole of `s`.
std::optional<ULONG> ParseHexNumber(std::u16string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return std::nullopt;
    ULONG value = 0;
    for (char16_t c : s) {
        const int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        value = (value << 4) | static_cast<ULONG>(d);
    }
    return value;
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

// The text as UTF-16: UTF-16LE after its BOM, else UTF-8 (BOM optional).
std::optional<std::u16string> Decode(std::string_view bytes, std::string* error) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *error = "UTF-16 text of odd length";
            return std::nullopt;
        }
        std::u16string text;
        for (std::size_t i = 2; i < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(byte(i) | (byte(i + 1) << 8)));
        return text;
    }
    if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        *error = "UTF-16BE text is not supported";
        return std::nullopt;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) bytes.remove_prefix(3);
    return ToU16(bytes);
}

struct Operation {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    std::u16string path;  // native, for the key operations
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

class Parser {
public:
    explicit Parser(std::u16string_view text) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(u'\n', start);
            if (end == std::u16string_view::npos) end = text.size();
            std::u16string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
            lines_.push_back(line);
            start = end + 1;
        }
    }

    // The operations of the whole text, or the first error.
    RegImportResult Parse(std::vector<Operation>* operations) {
        while (index_ < lines_.size() && Trim(lines_[index_]).empty()) ++index_;
        if (index_ == lines_.size() || Trim(lines_[index_]) != kHeader)
            return Fail("expected \"Windows Registry Editor Version 5.00\"");
        ++index_;
        bool inSection = false;
        bool deletedSection = false;
        for (; index_ < lines_.size(); ++index_) {
            const std::u16string_view line = Trim(lines_[index_]);
            if (line.empty() || line.front() == u';') continue;
            if (line.front() == u'[') {
                if (line.back() != u']') return Fail("a key line must end with ']'");
                std::u16string_view path = line.substr(1, line.size() - 2);
                deletedSection = !path.empty() && path.front() == u'-';
                if (deletedSection) path.remove_prefix(1);
                auto native = path.empty() || path.front() == u'\\' ? std::nullopt : reg::NativePath(path);
                if (!native) return Fail("unknown root key in [" + ToUtf8(path) + "]");
                operations->push_back({deletedSection ? Operation::kDeleteKey : Operation::kCreateKey,
                                       std::move(*native), {}, REG_NONE, {}});
                inSection = true;
                continue;
            }
            if (!inSection) return Fail("a value line before any [key] line");
            Operation value{Operation::kSetValue, {}, {}, REG_NONE, {}};
            if (RegImportResult r = ParseValue(line, &value); !r) return r;
            // regedit ignores the values of a section it deletes.
            if (!deletedSection) operations->push_back(std::move(value));
        }
        return {};
    }

private:
    RegImportResult Fail(std::string message) const {
        return {false, std::min(index_, lines_.empty() ? 0 : lines_.size() - 1) + 1, std::move(message)};
    }

    // A quoted string starting at s[*pos] == '"', with \\ and \" escapes.
    bool ParseQuoted(std::u16string_view s, std::size_t* pos, std::u16string* out, std::string* error) const {
        std::size_t i = *pos + 1;
        while (i < s.size()) {
            const char16_t c = s[i];
            if (c == u'"') {
                *pos = i + 1;
                return true;
            }
            if (c == u'\\') {
                if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"')) {
                    *error = "unknown escape in a quoted string (only \\\\ and \\\" exist)";
                    return false;
                }
                out->push_back(s[i + 1]);
                i += 2;
                continue;
            }
            out->push_back(c);
            ++i;
        }
        *error = "unterminated quoted string";
        return false;
    }

    RegImportResult ParseValue(std::u16string_view line, Operation* op) {
        std::size_t pos = 0;
        std::string error;
        if (line[0] == u'@') {
            pos = 1;
        } else if (line[0] == u'"') {
            if (!ParseQuoted(line, &pos, &op->name, &error)) return Fail(error);
        } else {
            return Fail("expected a value name (\"name\" or @)");
        }
        std::u16string_view rest = TrimLeft(line.substr(pos));
        if (rest.empty() || rest.front() != u'=') return Fail("expected '=' after the value name");
        rest = Trim(rest.substr(1));

        if (rest == u"-") {
            op->kind = Operation::kDeleteValue;
            return {};
        }
        if (!rest.empty() && rest.front() == u'"') {
            std::size_t end = 0;
            std::u16string text;
            if (!ParseQuoted(rest, &end, &text, &error)) return Fail(error);
            if (!Trim(rest.substr(end)).empty()) return Fail("text after the closing quote");
            op->type = REG_SZ;
            op->data = Utf16Bytes(text);
            op->data.insert(op->data.end(), {0, 0});
            return {};
        }
        if (StartsWithNoCase(rest, u"dword:")) {
            auto value = ParseHexNumber(rest.substr(6), 8);
            if (!value) return Fail("dword: takes 1 to 8 hex digits");
            op->type = REG_DWORD;
            for (int i = 0; i < 4; ++i) op->data.push_back(static_cast<std::uint8_t>(*value >> (8 * i)));
            return {};
        }
        if (StartsWithNoCase(rest, u"hex")) {
            rest.remove_prefix(3);
            op->type = REG_BINARY;
            if (!rest.empty() && rest.front() == u'(') {
                const std::size_t close = rest.find(u')');
                auto type = close == std::u16string_view::npos ? std::nullopt
                                                               : ParseHexNumber(rest.substr(1, close - 1), 8);
                if (!type) return Fail("hex(N): takes a hex type number");
                op->type = *type;
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != u':') return Fail("expected ':' after hex");
            return ParseBytes(rest.substr(1), &op->data);
        }
        return Fail("unknown value data (expected \"string\", dword:, hex:, hex(N): or -)");
    }

    // Comma-separated bytes; a trailing backslash continues on the next line.
    RegImportResult ParseBytes(std::u16string_view first, std::vector<std::uint8_t>* data) {
        std::u16string list;
        std::u16string_view part = TrimRight(first);
        while (!part.empty() && part.back() == u'\\') {
            list += part.substr(0, part.size() - 1);
            if (++index_ >= lines_.size()) {
                --index_;
                return Fail("a continuation line is missing at the end of the text");
            }
            part = Trim(lines_[index_]);
        }
        list += part;
        std::u16string_view rest = Trim(list);
        while (!rest.empty()) {
            const std::size_t comma = std::min(rest.find(u','), rest.size());
            auto byte = ParseHexNumber(Trim(rest.substr(0, comma)), 2);
            if (!byte) return Fail("hex data must be bytes of 1 or 2 hex digits separated by commas");
            data->push_back(static_cast<std::uint8_t>(*byte));
            rest = comma < rest.size() ? TrimLeft(rest.substr(comma + 1)) : std::u16string_view();
        }
        return {};
    }

    std::vector<std::u16string_view> lines_;
    std::size_t index_ = 0;
};

// --- export

std::string Escape(std::u16string_view text) {
    std::string out;
    for (char c : ToUtf8(text)) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// The quoted form stands for the text plus one terminator; anything else
// (no terminator, embedded NULs, odd length, line breaks, unpaired
// surrogates) cannot round-trip through it.
std::optional<std::u16string> QuotableString(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    if (text.back() != 0) return std::nullopt;
    text.pop_back();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == 0 || c == u'\r' || c == u'\n') return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
    }
    return text;
}

void WriteValue(const reg::Value& value, std::string* out) {
    // Appended piece by piece: GCC 12 at -O3 misreads `"literal" + string`
    // as an overlapping copy (-Wrestrict).
    std::string line = "@=";
    if (!value.name.empty()) {
        line = '"';
        line += Escape(value.name);
        line += "\"=";
    }
    char buffer[32];
    if (value.type == REG_SZ) {
        if (auto text = QuotableString(value.data)) {
            *out += line + "\"" + Escape(*text) + "\"\n";
            return;
        }
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        const ULONG v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                        (static_cast<ULONG>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08x\n", v);
        *out += line + buffer;
        return;
    }
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
        line += buffer;
    }
    // regedit wraps hex lists near 80 columns, continuing with "  ".
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        if (line.size() + 3 > 78) {
            *out += line + "\\\n";
            line = "  ";
        }
        std::snprintf(buffer, sizeof buffer, i + 1 < value.data.size() ? "%02x," : "%02x", value.data[i]);
        line += buffer;
    }
    *out += line + "\n";
}

void WriteKey(const Node& node, const std::u16string& path, std::string* out) {
    *out += '[';
    *out += ToUtf8(path);
    *out += "]\n";
    for (const auto& value : node.values) WriteValue(value, out);
    *out += "\n";
    for (const auto& [upcased, child] : node.children) WriteKey(*child, path + u"\\" + child->name, out);
}

}  // namespace

RegImportResult Registry::ImportRegText(std::string_view bytes) {
    std::string error;
    auto text = Decode(bytes, &error);
    if (!text) return {false, 0, error};
    std::vector<Operation> operations;
    if (RegImportResult r = Parser(*text).Parse(&operations); !r) return r;

    Signals signals;
    std::lock_guard lock(store_->mutex);
    std::shared_ptr<Node> current;
    for (auto& op : operations) {
        switch (op.kind) {
        case Operation::kCreateKey:
            current = nullptr;
            if (!NT_SUCCESS(store_->Create(nullptr, op.path, true, {}, &current, nullptr, signals)))
                current = nullptr;
            break;
        case Operation::kDeleteKey: {
            current = nullptr;
            std::shared_ptr<Node> node;
            if (NT_SUCCESS(store_->Lookup(nullptr, op.path, &node))) store_->DeleteTree(*node, true, signals);
            break;
        }
        case Operation::kSetValue:
            if (current) store_->SetValue(*current, op.name, op.type, op.data.data(), op.data.size(), signals);
            break;
        case Operation::kDeleteValue:
            if (current) store_->DeleteValue(*current, op.name, signals);
            break;
        }
    }
    return {};
}

RegImportResult Registry::ImportRegFile(const std::string& filePath) {
    std::ifstream file(filePath, std::ios::binary);
    if (!file) return {false, 0, "cannot read " + filePath};
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return ImportRegText(bytes);
}

std::optional<std::string> Registry::ExportRegText(const RegText& keyPath) const {
    std::u16string display;
    auto native = reg::NativePath(keyPath.view(), &display);
    if (!native) return std::nullopt;
    std::lock_guard lock(store_->mutex);
    std::shared_ptr<Node> node;
    if (!NT_SUCCESS(store_->Lookup(nullptr, *native, &node))) return std::nullopt;
    if (display.empty()) {
        // A "\Registry\..." path: name it from the hive it lies in.
        for (std::u16string_view root : {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"}) {
            std::shared_ptr<Node> hive;
            store_->Lookup(nullptr, *reg::NativePath(root), &hive);
            if (node == hive || node->IsBelow(*hive)) display = root;
        }
        if (display.empty()) return std::nullopt;
    }
    std::shared_ptr<Node> base;
    store_->Lookup(nullptr, *reg::NativePath(display), &base);
    std::vector<const Node*> chain;
    for (const Node* p = node.get(); p != base.get(); p = p->parent) chain.push_back(p);
    std::u16string path = display;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;

    std::string out = ToUtf8(kHeader) + "\n\n";
    WriteKey(*node, path, &out);
    return out;
}

bool Registry::ExportRegFile(const RegText& keyPath, const std::string& filePath) const {
    auto text = ExportRegText(keyPath);
    if (!text) return false;
    std::ofstream file(filePath, std::ios::binary);
    file << *text;
    return static_cast<bool>(file.flush());
}

}  // namespace sim
