// Inflation of a zlib-compressed archive table into the table's own storage.
#pragma once

#include "umbracore/types.h"

namespace umbra {

class file_t;

// Inflates stored_size bytes of one zlib stream, read from the archive at its current
// position in 4096-byte blocks, into table (a memory file over the table's storage,
// written from position 0). The table never grows: a stream that inflates to more or
// to less than the table's size fails, as do a stream that ends before its stored bytes
// and a stream with a data error.
bool cairn_table_inflate(file_t& table, file_t& archive, u64 stored_size);

}  // namespace umbra
