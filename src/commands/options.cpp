#include "commands/options.h"

Result<OutputTarget> parse_output_target(std::string_view) { return fail("not implemented"); }
Result<double> parse_fps(std::string_view) { return fail("not implemented"); }
Result<PrepareOptions> parse_prepare_options(std::span<const std::string>) { return fail("not implemented"); }
Result<SignOptions> parse_sign_options(std::span<const std::string>, std::string_view, std::string_view) { return fail("not implemented"); }
Result<EmbedOptions> parse_embed_options(std::span<const std::string>) { return fail("not implemented"); }
Result<VerifyOptions> parse_verify_options(std::span<const std::string>) { return fail("not implemented"); }
Result<HashOptions> parse_hash_options(std::span<const std::string>) { return fail("not implemented"); }
