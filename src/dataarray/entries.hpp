// dataarray/entries.hpp: the client's view of the runtime's numbered entries, one struct per
// entry with its number and function-pointer type, generated from contract/data_contract.hpp.
#pragma once

#include "contract/data_contract.hpp"

namespace kalvo::data {

/// The runtime's buffer deleter.
using BufferDeleterFn = ::kalvo_data_deleter_t;

/// One struct per entry: its number and its function-pointer type.
namespace entry {
#define KALVO_DATA_ENTRY_STRUCT(num, name, params) \
    struct name {                                  \
        static constexpr int number = num;         \
        using fn = int(*) params;                  \
    };
KALVO_DATA_ENTRIES(KALVO_DATA_ENTRY_STRUCT)
#undef KALVO_DATA_ENTRY_STRUCT
}  // namespace entry

}  // namespace kalvo::data
