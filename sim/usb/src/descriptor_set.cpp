#include "simusb/descriptor_set.h"

#include <algorithm>

#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`; advances `pos`. Returns nullopt for a
// malformed sequence (and advances past its first byte).
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t& pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos++);
    if (lead < 0x80) return lead;
    size_t extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
    if (extra == 0 || lead >= 0xF5 || pos + extra > text.size()) return std::nullopt;
    char32_t code = lead & (0x3F >> extra);
    for (size_t i = 0; i < extra; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
        code = (code << 6) | (byte(pos + i) & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return std::nullopt;
    pos += extra;
    return code;
}

}  // namespace

std::vector<uint16_t> DescriptorSet::LangIds() const {
    std::vector<uint16_t> ids;
    for (const StringEntry& entry : strings) {
        if (std::find(ids.begin(), ids.end(), entry.langId) == ids.end()) ids.push_back(entry.langId);
    }
    return ids;
}

const StringEntry* DescriptorSet::FindString(uint8_t index, uint16_t langId) const {
    for (const StringEntry& entry : strings) {
        if (entry.index == index && entry.langId == langId) return &entry;
    }
    return nullptr;
}

const std::vector<uint8_t>* DescriptorSet::FindConfiguration(uint8_t value) const {
    constexpr size_t kValueOffset = 5;
    for (const std::vector<uint8_t>& config : configurations) {
        if (config.size() > kValueOffset && config[kValueOffset] == value) return &config;
    }
    return nullptr;
}

std::vector<uint8_t> StringDescriptorBytes(const std::u16string& text) {
    // bLength is one byte: a longer text is cut to the 126 characters that fit.
    size_t units = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> out;
    ByteWriter writer(out);
    writer.U8(static_cast<uint32_t>(2 + 2 * units)).U8(usb::kStringDescriptor);
    for (size_t i = 0; i < units; ++i) writer.U16(text[i]);
    return out;
}

std::vector<uint8_t> LangIdDescriptorBytes(const std::vector<uint16_t>& langIds) {
    std::u16string ids(langIds.begin(), langIds.end());
    return StringDescriptorBytes(ids);
}

std::u16string Utf16FromUtf8(std::string_view text) {
    std::u16string out;
    size_t pos = 0;
    while (pos < text.size()) {
        char32_t code = DecodeUtf8(text, pos).value_or(kReplacement);
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string Utf8FromUtf16(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        bool highSurrogate = code >= 0xD800 && code < 0xDC00;
        if (highSurrogate && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = kReplacement;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        if (!DecodeUtf8(text, pos)) return false;
    }
    return true;
}

}  // namespace simusb
