#include "etw_reader.h"

#include <cstring>

namespace etwread {
namespace {

constexpr uint8_t IN_TYPE_MASK = 0x1F;
constexpr uint8_t CHAIN = 0x80;

bool ReadCString(const uint8_t* p, size_t end, size_t& at, std::string& out) {
    size_t start = at;
    while (at < end && p[at] != 0) ++at;
    if (at >= end) return false;
    out.assign(reinterpret_cast<const char*>(p + start), at - start);
    ++at;
    return true;
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint64_t U64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace

bool ParseEventMeta(const uint8_t* p, size_t available, EventMeta& out, std::string& error) {
    if (available < 2) return error = "event metadata shorter than its size field", false;
    out.size = U16(p);
    if (out.size > available || out.size < 4) return error = "event metadata size out of range", false;
    size_t at = 2;
    while (at < out.size && (p[at] & CHAIN)) ++at;  // tag bytes chain through their high bit
    ++at;
    if (!ReadCString(p, out.size, at, out.name)) return error = "event name not terminated", false;
    while (at < out.size) {
        Field f;
        if (!ReadCString(p, out.size, at, f.name)) return error = "field name not terminated", false;
        if (at >= out.size) return error = "field without in-type", false;
        uint8_t in = p[at++];
        f.inType = in & IN_TYPE_MASK;
        if (in & CHAIN) {
            if (at >= out.size) return error = "out-type missing", false;
            uint8_t outType = p[at++];
            f.outType = outType & 0x7F;
            if (outType & CHAIN) at += 4;  // field tags
        }
        out.fields.push_back(f);
    }
    if (at != out.size) return error = "event metadata overruns its size", false;
    return true;
}

bool ParseProviderMeta(const uint8_t* p, size_t available, ProviderMeta& out, std::string& error) {
    if (available < 3) return error = "provider metadata too short", false;
    out.size = U16(p);
    if (out.size > available) return error = "provider metadata size out of range", false;
    size_t at = 2;
    if (!ReadCString(p, out.size, at, out.name)) return error = "provider name not terminated", false;
    return true;  // the rest, if any, are provider traits
}

bool ParseBlock(const uint8_t* p, size_t size, Block& out, std::string& error) {
    if (size < 16 || std::memcmp(p, "ETW0", 4) != 0) return error = "no ETW0 header", false;
    out.headerSize = U16(p + 4);
    out.magic = U64(p + 8);
    size_t at = out.headerSize;
    while (at < size) {
        uint8_t type = p[at];
        if (type == 3) {
            if (at + 14 > size) return error = "truncated event blob", false;
            BlockEvent e;
            e.channelOffset = at + 1;
            e.channel = p[at + 1];
            e.level = p[at + 2];
            e.opcode = p[at + 3];
            e.keyword = U64(p + at + 4);
            if (!ParseEventMeta(p + at + 12, size - at - 12, e.meta, error)) return false;
            at += 12 + e.meta.size;
            out.events.push_back(e);
        } else if (type == 4) {
            if (at + 19 > size) return error = "truncated provider blob", false;
            std::memcpy(out.providerGuid, p + at + 1, 16);
            if (!ParseProviderMeta(p + at + 17, size - at - 17, out.provider, error)) return false;
            at += 17 + out.provider.size;
        } else {
            return error = "unknown blob type " + std::to_string(type), false;
        }
    }
    return true;
}

bool ReadStringField(const std::vector<uint8_t>& payload, size_t& offset, uint8_t inType, std::u16string& wide,
                     std::string& narrow) {
    if (inType == 2) {  // NUL-terminated ANSI
        return ReadCString(payload.data(), payload.size(), offset, narrow);
    }
    if (inType == 1) {  // NUL-terminated UTF-16
        wide.clear();
        while (offset + 1 < payload.size()) {
            char16_t c = static_cast<char16_t>(U16(payload.data() + offset));
            offset += 2;
            if (c == 0) return true;
            wide.push_back(c);
        }
        return false;
    }
    return false;
}

}  // namespace etwread
