// Distinct, recognisable records for tests that store and reload tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inventory/certificate_record.h"
#include "inventory/record_table.h"
#include "tests/support/record_builder.h"

namespace kestrune::testing {

// Record `index` of a table tagged `tag`: name "cert <tag>/<index>", a serial and a
// subject hash derived from both, in LocalMachine's Root store.
RecordBuilder sampleRecord(std::uint32_t tag, std::size_t index);

// Replaces the table's content with `count` sample records of `tag`.
void fillTable(RecordTable& table, std::size_t count, std::uint32_t tag);

// Whether the table's first `count` valid records are the sample records of `tag`.
bool holdsSamples(const RecordTable& table, std::size_t count, std::uint32_t tag);

}  // namespace kestrune::testing
