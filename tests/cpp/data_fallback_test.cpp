// tests/cpp/data_fallback_test.cpp: (being written)
