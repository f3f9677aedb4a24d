// The helpers of fuzz_util.h that need no inlining, compiled once for all
// targets: the JSON text check and the CPU-time budget.

#include "fuzz_util.h"

#include <time.h>

#include <nlohmann/json.hpp>

namespace fuzz {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

double slowest_call_ms = 0;

bool is_json_text(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

void require_message(std::string_view message) {
  require(!message.empty(), "a fault has an empty message");
  if (!is_json_text(message)) broken("a fault message is not valid UTF-8: " + std::string(message));
}

long budget_ms() {
  static const long limit = [] {
    const char* text = std::getenv("VORLANT_FUZZ_BUDGET_MS");
    if (text != nullptr) return std::strtol(text, nullptr, 10);
    return kSanitized ? 1000L : 100L;
  }();
  return limit;
}

double cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace fuzz
