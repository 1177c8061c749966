// The module's functions: one record each (name, signature, entry, docstring), defined beside its
// body in a wrapper file and listed by lib.cpp.
#pragma once

#include "binding/arguments.h"

namespace quorbel::encoding {
extern binding::Function encode_posting_list_function;  // py_postings.cpp
extern binding::Function decode_posting_list_function;  // py_postings.cpp
extern binding::Function encode_varint_function;        // py_varint.cpp
extern binding::Function merge_posting_lists_function;  // py_merge.cpp
extern binding::Function read_varint_function;          // py_read_varint.cpp
}  // namespace quorbel::encoding

namespace quorbel::blockfile {
extern binding::Function read_term_at_offset_function;  // py_readers.cpp
extern binding::Function iter_block_terms_function;     // py_readers.cpp
extern binding::Function get_block_stats_function;      // py_readers.cpp
extern binding::Function write_binary_block_function;   // py_writer.cpp
}  // namespace quorbel::blockfile
