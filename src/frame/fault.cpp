#include "frame/fault.hpp"

#include "frame/text.hpp"

namespace tarnwick {

void fault(std::string_view message, std::source_location where) {
    throw Fault(std::string(message), where);
}

void index_out_of_bounds(uint64_t len, uint64_t index, std::source_location where) {
    throw Fault(cat("index out of bounds: the len is ", len, " but the index is ", index), where);
}

void array_index_out_of_bounds(std::source_location where) {
    throw Fault("array index out of bounds", where);
}

void range_end_out_of_range(uint64_t end, uint64_t len, std::source_location where) {
    throw Fault(cat("range end index ", end, " out of range for slice of length ", len), where);
}

void range_start_out_of_range(uint64_t start, uint64_t len, std::source_location where) {
    throw Fault(cat("range start index ", start, " out of range for slice of length ", len), where);
}

void slice_index_order(uint64_t start, uint64_t end, std::source_location where) {
    throw Fault(cat("slice index starts at ", start, " but ends at ", end), where);
}

void capacity_overflow(std::source_location where) { throw Fault("capacity overflow", where); }

}  // namespace tarnwick
