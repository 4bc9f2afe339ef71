// tests/cpp/data_buffer_test.cpp: (being written)
