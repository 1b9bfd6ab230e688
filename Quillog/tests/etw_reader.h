// A small TraceLogging decoder written from the format's published layout, the way an ETW
// consumer reads self-describing events. It shares nothing with the library it checks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace etwread {

struct Field {
    std::string name;
    uint8_t inType = 0;
    uint8_t outType = 0;
};

struct EventMeta {
    uint16_t size = 0;
    std::string name;
    std::vector<Field> fields;
};

struct ProviderMeta {
    uint16_t size = 0;
    std::string name;
};

// One blob of a constant metadata block as found by walking it from its header.
struct BlockEvent {
    size_t channelOffset = 0;  // the event id is this offset
    uint8_t channel = 0, level = 0, opcode = 0;
    uint64_t keyword = 0;
    EventMeta meta;
};
struct Block {
    uint16_t headerSize = 0;
    uint64_t magic = 0;
    std::vector<BlockEvent> events;
    uint8_t providerGuid[16] = {};
    ProviderMeta provider;
};

bool ParseEventMeta(const uint8_t* p, size_t available, EventMeta& out, std::string& error);
bool ParseProviderMeta(const uint8_t* p, size_t available, ProviderMeta& out, std::string& error);
bool ParseBlock(const uint8_t* p, size_t size, Block& out, std::string& error);

// Decodes one string field of the payload by its in-type; advances offset past it.
bool ReadStringField(const std::vector<uint8_t>& payload, size_t& offset, uint8_t inType, std::u16string& wide,
                     std::string& narrow);

}  // namespace etwread
