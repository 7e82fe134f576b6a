// The calls the operations make on the host's ADO recordset. Each failing
// call becomes a failure of the operation, named after the call.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "frame/Owners.h"
#include "ZebMachine.h"  // _Recordset, Fields, Field (Ado26)

namespace kavro {

// rsData.AddNew with both arguments left out.
void AddNewRow(_Recordset& rs);
// rsData.Collect(column) = value, on the current row.
void PutColumn(_Recordset& rs, const wchar_t* column, const VARIANT& value);
// rsData.Fields(column).
ComPtr<Field> FieldOf(_Recordset& rs, const wchar_t* column);
// field.AppendChunk with the bytes as one byte array.
void AppendBytes(Field& field, const std::vector<std::uint8_t>& bytes);
// field.Value turned into text; a Null cannot be.
std::wstring TextOfValue(Field& field, const wchar_t* column);
// field.GetChunk(length): exactly `length` bytes, which must come back as a
// byte array holding at least that many.
std::vector<std::uint8_t> ChunkOf(Field& field, long length, const wchar_t* column);

} // namespace kavro
