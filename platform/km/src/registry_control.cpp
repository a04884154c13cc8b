// The registry's test control: direct access to keys and values, and the
// text form the registry is loaded from and saved to.
//
//   ; a comment
//   [\Registry\Machine\SOFTWARE\Example]
//   "Rate"=dword:0000ac44
//   "Name"=sz:"text with \"quotes\" and \\ backslashes"
//   @=sz:"the key's default value"
//   "List"=multi_sz:"one","two"
//   "Path"=expand_sz:"%SystemRoot%"
//   "Big"=qword:0000000100000000
//   "Blob"=hex:01,02,ff
//   "Odd"=hex(1):41,00   (any type as raw bytes)
//
// Files are UTF-8. Every key is written, empty ones too, so that a saved
// registry loads back to the same tree.

#include <fstream>
#include <sstream>

#include "kmsim/registry.h"
#include "registry_store.h"
#include "wide_text.h"

namespace {

km::RegKeyRef CreateKeyLocked(km::RegistryStore& store, const std::string& keyPath) {
    km::RegKeyRef key;
    bool created;
    NTSTATUS status = store.CreateLocked(nullptr, km::Utf16(keyPath), true, &key, &created);
    return NT_SUCCESS(status) ? key : nullptr;
}

km::RegKeyRef FindKeyLocked(km::RegistryStore& store, const std::string& keyPath) {
    km::RegKeyRef key;
    return NT_SUCCESS(store.ResolveLocked(nullptr, km::Utf16(keyPath), &key)) ? key : nullptr;
}

// UTF-16LE bytes of `chars`, terminators included as they are.
std::vector<uint8_t> Utf16Bytes(std::u16string_view chars) {
    std::vector<uint8_t> data;
    for (char16_t c : chars) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    return data;
}

std::vector<uint8_t> StringData(std::u16string_view text) { return Utf16Bytes(std::u16string(text) + u'\0'); }

std::u16string CharsOf(const std::vector<uint8_t>& data) {
    std::u16string chars;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        chars += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    return chars;
}

// ---------------------------------------------------------------- writing

std::string Quoted(std::u16string_view text) {
    std::string out = "\"";
    for (char c : km::Utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string Hex(const std::vector<uint8_t>& data) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", data[i]);
        out += byte;
    }
    return out;
}

// The strings of a well-formed REG_SZ (one terminated string) or REG_MULTI_SZ
// (terminated strings and an empty one at the end); false for anything else,
// which is then written as raw bytes.
bool SplitStrings(const km::RegValue& value, std::vector<std::u16string>* strings) {
    if (value.data.size() % 2 != 0) {
        return false;
    }
    std::u16string chars = CharsOf(value.data);
    if (value.type != REG_MULTI_SZ) {
        if (chars.empty() || chars.find(u'\0') != chars.size() - 1) {
            return false;
        }
        strings->push_back(chars.substr(0, chars.size() - 1));
        return true;
    }
    if (chars == std::u16string(1, u'\0')) {
        return true;  // the empty list
    }
    if (chars.size() < 2 || chars[chars.size() - 1] != 0 || chars[chars.size() - 2] != 0) {
        return false;
    }
    for (size_t start = 0; start < chars.size() - 1;) {
        size_t end = chars.find(u'\0', start);
        if (end == start) {
            return false;  // an empty string inside the list
        }
        strings->push_back(chars.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::string ValueText(const km::RegValue& value) {
    char number[24];
    std::vector<std::u16string> strings;
    switch (value.type) {
        case REG_DWORD:
            if (value.data.size() == 4) {
                uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<uint32_t>(value.data[3]) << 24;
                snprintf(number, sizeof number, "dword:%08x", v);
                return number;
            }
            break;
        case REG_QWORD:
            if (value.data.size() == 8) {
                uint64_t v = 0;
                for (int i = 7; i >= 0; --i) v = v << 8 | value.data[i];
                snprintf(number, sizeof number, "qword:%016llx", static_cast<unsigned long long>(v));
                return number;
            }
            break;
        case REG_BINARY:
            return "hex:" + Hex(value.data);
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_MULTI_SZ:
            if (SplitStrings(value, &strings)) {
                std::string out = value.type == REG_SZ ? "sz:" : value.type == REG_EXPAND_SZ ? "expand_sz:" : "multi_sz:";
                for (size_t i = 0; i < strings.size(); ++i) {
                    out += (i == 0 ? "" : ",") + Quoted(strings[i]);
                }
                return out;
            }
            break;
        default:
            break;
    }
    snprintf(number, sizeof number, "hex(%x):", static_cast<unsigned>(value.type));
    return number + Hex(value.data);
}

// ---------------------------------------------------------------- reading

struct Parser {
    std::string_view rest;

    bool Take(std::string_view prefix) {
        if (rest.substr(0, prefix.size()) != prefix) return false;
        rest.remove_prefix(prefix.size());
        return true;
    }

    bool QuotedText(std::u16string* text) {
        if (!Take("\"")) return false;
        std::string utf8;
        while (!rest.empty() && rest[0] != '"') {
            if (rest[0] == '\\' && rest.size() > 1) rest.remove_prefix(1);
            utf8 += rest[0];
            rest.remove_prefix(1);
        }
        *text = km::Utf16(utf8);
        return Take("\"");
    }

    bool HexBytes(std::vector<uint8_t>* data) {
        while (!rest.empty()) {
            unsigned byte;
            int used = 0;
            if (sscanf(std::string(rest.substr(0, 2)).c_str(), "%2x%n", &byte, &used) != 1 || used != 2) return false;
            data->push_back(static_cast<uint8_t>(byte));
            rest.remove_prefix(2);
            if (!rest.empty() && !Take(",")) return false;
        }
        return true;
    }

    bool Number(int digits, uint64_t* value) {
        if (rest.size() != static_cast<size_t>(digits)) return false;
        char* end = nullptr;
        std::string text(rest);
        *value = strtoull(text.c_str(), &end, 16);
        rest = {};
        return end != nullptr && *end == 0;
    }
};

bool ParseValue(std::string_view text, km::RegValue* value) {
    Parser p{text};
    uint64_t number;
    if (p.Take("dword:")) {
        if (!p.Number(8, &number)) return false;
        value->type = REG_DWORD;
        for (int i = 0; i < 4; ++i) value->data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        return true;
    }
    if (p.Take("qword:")) {
        if (!p.Number(16, &number)) return false;
        value->type = REG_QWORD;
        for (int i = 0; i < 8; ++i) value->data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        return true;
    }
    if (p.Take("hex:")) {
        value->type = REG_BINARY;
        return p.HexBytes(&value->data);
    }
    if (p.Take("hex(")) {
        unsigned type;
        int used = 0;
        if (sscanf(std::string(p.rest).c_str(), "%x):%n", &type, &used) != 1 || used == 0) return false;
        p.rest.remove_prefix(static_cast<size_t>(used));
        value->type = type;
        return p.HexBytes(&value->data);
    }
    bool multi = false;
    if (p.Take("sz:")) {
        value->type = REG_SZ;
    } else if (p.Take("expand_sz:")) {
        value->type = REG_EXPAND_SZ;
    } else if (p.Take("multi_sz:")) {
        value->type = REG_MULTI_SZ;
        multi = true;
    } else {
        return false;
    }
    std::u16string all;
    do {
        if (multi && p.rest.empty()) break;
        std::u16string one;
        if (!p.QuotedText(&one)) return false;
        all += one;
        all += u'\0';
    } while (multi && p.Take(","));
    if (!p.rest.empty()) return false;
    if (multi) all += u'\0';
    value->data = Utf16Bytes(all);
    return true;
}

}  // namespace

namespace kmsim {

void RegistryCreateKey(const std::string& keyPath) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    CreateKeyLocked(store, keyPath);
}

void RegistryDeleteKey(const std::string& keyPath) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    if (km::RegKeyRef key = FindKeyLocked(store, keyPath)) {
        store.DeleteLocked(key);
    }
}

bool RegistryKeyExists(const std::string& keyPath) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    return FindKeyLocked(store, keyPath) != nullptr;
}

void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    if (km::RegKeyRef key = CreateKeyLocked(store, keyPath)) {
        km::RegistryStore::SetValueLocked(*key, km::Utf16(name), type, data.data(), data.size());
    }
}

void RegistrySetDword(const std::string& keyPath, const std::string& name, uint32_t value) {
    RegistrySetValue(keyPath, name, REG_DWORD,
                     {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)});
}

void RegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    RegistrySetValue(keyPath, name, REG_SZ, StringData(km::Utf16(value)));
}

void RegistryDeleteValue(const std::string& keyPath, const std::string& name) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    if (km::RegKeyRef key = FindKeyLocked(store, keyPath)) {
        key->EraseValue(km::Utf16(name));
    }
}

std::optional<RegistryValue> RegistryGetValue(const std::string& keyPath, const std::string& name) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    km::RegKeyRef key = FindKeyLocked(store, keyPath);
    km::RegValue* value = key != nullptr ? key->FindValue(km::Utf16(name)) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return RegistryValue{value->type, value->data};
}

std::optional<uint32_t> RegistryGetDword(const std::string& keyPath, const std::string& name) {
    std::optional<RegistryValue> value = RegistryGetValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    const auto& d = value->data;
    return d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
}

std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& name) {
    std::optional<RegistryValue> value = RegistryGetValue(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::u16string chars = CharsOf(value->data);
    while (!chars.empty() && chars.back() == 0) {
        chars.pop_back();
    }
    return km::Utf8(chars);
}

std::string RegistrySave() {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    std::string text;
    store.ForEachKeyLocked([&text](const km::RegKey& key) {
        text += "[" + km::Utf8(key.Path()) + "]\n";
        for (const km::RegValue& value : key.values) {
            text += (value.name.empty() ? std::string("@") : Quoted(value.name)) + "=" + ValueText(value) + "\n";
        }
    });
    return text;
}

bool RegistryLoad(const std::string& text, std::string* error) {
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    std::istringstream lines(text);
    std::string line;
    km::RegKeyRef key;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto fail = [&](const char* what) {
            if (error != nullptr) *error = "line " + std::to_string(number) + ": " + what + ": " + line;
            return false;
        };
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("a key line must end with ']'");
            key = CreateKeyLocked(store, line.substr(1, line.size() - 2));
            if (key == nullptr) return fail("not a registry path");
            continue;
        }
        if (key == nullptr) return fail("a value before the first key");
        Parser p{line};
        std::u16string name;
        if (!p.Take("@") && !p.QuotedText(&name)) return fail("a value line starts with its quoted name or @");
        if (!p.Take("=")) return fail("'=' expected after the value's name");
        km::RegValue value;
        if (!ParseValue(p.rest, &value)) return fail("malformed value");
        km::RegistryStore::SetValueLocked(*key, name, value.type, value.data.data(), value.data.size());
    }
    return true;
}

bool RegistrySaveFile(const std::string& fileName) {
    std::ofstream file(fileName, std::ios::binary);
    file << "; the simulated machine's registry\n" << RegistrySave();
    return static_cast<bool>(file);
}

bool RegistryLoadFile(const std::string& fileName, std::string* error) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        if (error != nullptr) *error = "cannot read " + fileName;
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    return RegistryLoad(text.str(), error);
}

}  // namespace kmsim
