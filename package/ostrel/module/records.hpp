// Traceback records: one entry per failing level, naming the function, the
// module's source file and the line of the failing statement.
#pragma once

namespace ostrel {

// Called with the exception already set; adds one record to its traceback.
void add_traceback_record(const char* function_name, int line) noexcept;

} // namespace ostrel
