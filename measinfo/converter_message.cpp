#include "measinfo/converter_message.h"

#include "convert/convert_status.h"

namespace {

// The converter's message without its line end.
std::string without_newline(std::string message) {
    if (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
}

}  // namespace

std::string header_failure_message(HeaderCheck check, const unsigned char* header_bytes) {
    if (check == HeaderCheck::ok) return "";
    return without_newline(problem_message(header_check_problem(check, header_bytes)));
}

std::string open_failure_message(const std::string& path) {
    return without_newline(problem_message({ConvertStatus::input_open_failed, path}));
}
