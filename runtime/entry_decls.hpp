// runtime/entry_decls.hpp: declarations of the runtime's entry functions, generated from the entry list.
#pragma once

#include "contract/data_contract.hpp"

extern "C" {
#define KALVO_DATA_DECLARE_ENTRY(num, name, params) int kalvo_data_##name params;
KALVO_DATA_ENTRIES(KALVO_DATA_DECLARE_ENTRY)
#undef KALVO_DATA_DECLARE_ENTRY
}
