// tests/cpp/data_errors_test.cpp: (being written)
