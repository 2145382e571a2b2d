#pragma once
// A readable, lossless text form of any record stream: projects, module files,
// skins, host chunks. One record per line, its key first, then its value decoded
// by kind:
//
//   CType str "CGroup"
//     X int 200
//     CData pair "MixerStyle" "1"
//   CEnd
//   ACable2 ints 1 0 3 0
//   prccv float 0.75
//   Tail block {
//     Inner short -3
//   }
//   Mystery hex 0a0b0c
//   PatVelRng ints 0 127 !size 4
//   MPEvDa midi on 1 C3 100
//   MPartEvents events {
//     @0 on 1 C3 100 len 240
//     @480 cc 1 64 127
//   }
//   !tail 0102
//
// MIDI messages read as "on", "off", "poly", "cc", "pc", "press" or "bend",
// the channel 1..16, then notes by name ("C3" is key 60) and values; "port N"
// ends a message of a port other than 0, and "raw" with eight hex digits
// stands for anything that is no channel message. Event lists show each
// event's absolute tick after "@" and its length after "len".
//
// Records between "CType" and their "CEnd" are indented. Keys the table below
// does not know, and values that do not fit the kind the table names, are
// written as hex; bytes at the end that do not form a record as "!tail". So
// building the text back gives the identical bytes, and hand edits of decoded
// values get their sizes recomputed.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qr {

enum class ValueKind : uint8_t {
  Marker,  // size 0: opens a group of the records that follow
  Int,     // int32
  Short,   // int16
  Float,   // float32
  String,  // int32 length, bytes
  Pair,    // two strings (an attribute's name and value)
  Ints,    // any number of int32 (cables, configurations)
  Floats,  // any number of float32
  Block,   // nested records filling the value exactly
  Bitmap,  // int32 width, int32 height, width x height x 4 pixel bytes
  Hex,     // raw bytes
  Midi,    // one packed MIDI message (int32)
  Events,  // stored events: per event int32 delta ticks, packed message, int32 length
};

// One row of the table of known keys. `type` is the type key of the module
// whose block the record sits in ("CArp"), or empty for a key that means the
// same everywhere. A row with the block's type wins over an empty-type row.
struct RecordKind {
  std::string_view type;
  std::string_view key;
  ValueKind kind;
  // Blocks only: the type whose rows name the records inside ("CGroove" for a
  // groove nested in the sequencer); empty keeps the enclosing block's type.
  std::string_view inner = {};
  // A record whose size field has always been short: this many value bytes
  // follow beyond the size it states. The text shows the value whole and the
  // stated size after "!size".
  int32_t beyondSize = 0;
  // The same for records whose short size grows with their content: this many
  // further bytes for every 16 the size states.
  int32_t beyondPer16 = 0;
  // A string naming the type key of a module whose own records follow up to
  // its "CEnd", read with that type's rows (modules nested in a module).
  bool opensModule = false;
};

// The table, in persist/RecordKinds.cpp: add a row for every record a module
// writes so that its values read as numbers and text instead of hex.
std::span<const RecordKind> RecordKinds();
// The row for a key inside a block of `type`; nullptr for a key no row names.
const RecordKind* FindRecordKind(std::string_view type, std::string_view key);

std::string DumpRecords(std::span<const uint8_t> bytes);
// Builds the bytes back; false with "line N: what" in `error` for text it
// cannot read, or for a value written as another kind than the table names
// for its key (hex is always taken). `warnings`, when given, receives "line N:
// what" for keys a known module does not have and for cables given twice
// (connecting twice removes the cable).
bool BuildRecords(std::string_view text, std::vector<uint8_t>& out, std::string& error,
                  std::vector<std::string>* warnings = nullptr);

}  // namespace qr
