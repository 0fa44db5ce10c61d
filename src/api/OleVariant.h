#pragma once
// The bridge between the host's OLE VARIANT and the library's typed value:
// the only place where VARIANT, BSTR and SAFEARRAY meet kv::Variant.
//
// Kinds taken from the host: VT_EMPTY; VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4,
// VT_UI4 and VT_INT / VT_UINT (as the 32-bit kinds); VT_R4, VT_R8, VT_DATE;
// VT_BSTR as OLE text (a null BSTR is an empty text); VT_BOOL with its raw
// word; and one-dimensional VT_ARRAY of these (not of VT_EMPTY) with their
// lower bound. Everything else is refused: by-reference values, interfaces,
// VT_NULL, 64-bit and decimal kinds, arrays of variants, arrays of several
// dimensions, and arrays whose descriptor does not match their kind.
#include <optional>

#include "kvopros2.h"
#include "runtime/Variant.h"

namespace kv {

// The typed value of a host variant, or nothing for a kind that is refused.
// Only reads source: the host keeps what it owns. Raises std::bad_alloc.
std::optional<Variant> VariantFromOle(const VARIANT& source);

// A new OLE variant holding value: single-byte and OLE texts become
// VT_BSTR, arrays safe arrays with the same bounds, every other kind its
// OLE counterpart. The caller owns the result and must clear it. Raises
// std::bad_alloc, having freed whatever it had made.
VARIANT VariantToOle(const Variant& value);

// The boolean rule of a value handed over by the host: a plain VT_BOOL
// whose word is not 0 becomes 1, so true reaches the channel as 1 rather
// than -1. By-reference and array booleans are left alone.
void NormalizeValueBoolean(VARIANT& value) noexcept;

}  // namespace kv
