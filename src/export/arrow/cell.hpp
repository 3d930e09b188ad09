// One record's value of a column as the batch reader finds it in the
// record's bytes and hands it to the column's builder.
#pragma once

#include <cstdint>

namespace quarlet {

// One record's value of the column being built, as the reader found it: a
// batch is built a chunk of records at a time, column by column.
struct ArrowCell {
  enum Kind : uint8_t {
    Null,     // the record holds no value (or an empty one)
    Plain,    // bytes of the column's plain type, not empty
    Default,  // decoded view: the column's default stands in
    Value,    // bytes of a column whose values are not of its Arrow type's form
    Encoded,  // a tagged entry stored compressed, separated or multi-valued
  };
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  Kind kind = Null;
  uint32_t record = 0;  // index in the chunk
  uint32_t slot = 0;    // Encoded: index of the tagged entry in the chunk's slots
};

}  // namespace quarlet
