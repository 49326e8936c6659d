// The public face of bitweave's pure C++ core: include this one header to pack and unpack
// fields with the XTCE data encodings from plain C++, with no interpreter.
//
//   bits.hpp      bit positions (BitPos), word-wise reads and writes of packet bits
//   errors.hpp    CodecError and Result<T>: every routine returns its value or an error
//   encoding.hpp  the Encoding values and their recipe names
//   integers.hpp  unsigned, two's and ones' complement, sign-magnitude
//   bcd.hpp       packed and unpacked binary-coded decimal
//   ieee754.hpp   binary16/32/64 both ways, binary128 decoding
//   text.hpp      US-ASCII, ISO-8859-1, Windows-1252, UTF-8/16/32
//   field.hpp     field placement: where a field's bits lie, and numbers and text read
//                 from and written to spans of packet bytes
#pragma once

#include "bcd.hpp"
#include "bits.hpp"
#include "encoding.hpp"
#include "errors.hpp"
#include "field.hpp"
#include "ieee754.hpp"
#include "integers.hpp"
#include "text.hpp"
