// runtime/lookup.cpp: get_function_ptr, the runtime's one exported symbol.
//
// Built twice: the real runtime serves every entry of the list. The test-only runtime
// (KALVO_DATA_TEST_RUNTIME) behaves like an older release without the optional entries 110,
// 113, 114 and 115, and also withholds every number listed in the environment variable
// KALVO_TEST_WITHHOLD_ENTRIES (comma-separated), read on each call so that a test can make an
// entry disappear and come back.
#include <cstdlib>

#include "entry_decls.hpp"

namespace {

#ifdef KALVO_DATA_TEST_RUNTIME
bool withheld(int number) {
    if (number == 110 || number == 113 || number == 114 || number == 115) {
        return true;
    }
    const char* list = std::getenv("KALVO_TEST_WITHHOLD_ENTRIES");
    while (list != nullptr && *list != '\0') {
        char* end = nullptr;
        const long value = std::strtol(list, &end, 10);
        if (end == list) {
            ++end;  // skip a separator or stray character
        } else if (value == number) {
            return true;
        }
        list = end;
    }
    return false;
}
#endif

}  // namespace

extern "C" KALVO_DATA_API void* get_function_ptr(int number) {
#ifdef KALVO_DATA_TEST_RUNTIME
    if (withheld(number)) {
        return nullptr;
    }
#endif
    switch (number) {
#define KALVO_DATA_ENTRY_CASE(num, name, params) \
    case num: return reinterpret_cast<void*>(&kalvo_data_##name);
        KALVO_DATA_ENTRIES(KALVO_DATA_ENTRY_CASE)
#undef KALVO_DATA_ENTRY_CASE
    default: return nullptr;
    }
}
