// tests/cpp/data_array_test.cpp: (being written)
