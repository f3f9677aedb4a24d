#include "io_error.h"

#include <cstring>

std::string format_io_error(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) +
         ")";
}
