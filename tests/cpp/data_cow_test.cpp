// tests/cpp/data_cow_test.cpp: (being written)
