// Reading request parameters for endpoint handlers: lookups on the request's ordered parameter
// list (first match wins, names compared exactly), numbers, flags, JSON body members, wallet
// folders, GUID parameters and the mail request identifier. Handlers call these on the main
// thread; every function is stateless apart from reading the data root, and safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "http/http_types.h"

inline constexpr size_t PARAM_MAX_REPEATS = 50;
// The longest wallet folder path a request may address.
inline constexpr size_t WALLET_PATH_MAX = 4095;

// The value of the first parameter named `name`, or null when there is none.
const std::string* param_get(const HttpRequest& req, std::string_view name);
// The value when present and not empty, else `fallback`.
std::string param_get_or(const HttpRequest& req, std::string_view name, std::string_view fallback);
// The value read as a decimal integer (leading white space and sign allowed, stops at the first
// non-digit, a non-number reads 0, saturates at the int range) when present, else `fallback`.
int param_get_int(const HttpRequest& req, std::string_view name, int fallback);
// param_get_int, then raised to `low` and lowered to `high`.
int param_get_int_clamped(const HttpRequest& req, std::string_view name, int fallback, int low, int high);
// The values of every parameter named `name`, in order, at most `max_count`.
std::vector<std::string> param_get_all(const HttpRequest& req, std::string_view name,
                                       size_t max_count = PARAM_MAX_REPEATS);
// The non-empty values of every parameter named `name` (at most 50) joined with ";". RC_NOT_FOUND
// when there is none, RC_ERROR when the text would need `capacity` bytes or more (with its NUL).
ResultCode param_get_joined(const HttpRequest& req, std::string_view name, std::string& out,
                            size_t capacity = SIZE_MAX);

// False for "0", "false" and "no" (the last two ignoring case); true for anything else, "" too.
bool is_true(std::string_view text);
// RC_OK when the whole non-empty text is a base-10 number within 32 bits (leading white space and
// a sign accepted; "-1" reads as 4294967295); RC_INVALID_PARAM otherwise, `out` untouched.
ResultCode parse_u32(std::string_view text, uint32_t* out);
// A top-level member of the first JSON object in `body` as text (see json_scan_member).
ResultCode json_field(std::string_view body, std::string_view key, std::string& out, size_t capacity = SIZE_MAX);

// Turns `\` into `/` and removes trailing separators, keeping a root "/".
std::string normalize_wallet_path(std::string_view path);
// The wallet folder a `wallet_path` and `wallet` pair addresses: a non-empty `wallet_path` is the
// folder's full path; otherwise `wallet` ("Default" when empty) names a folder inside
// wallets_dir(). Both are normalised as above. RC_INVALID_PARAM when the text holds a control
// character, the result is empty or longer than WALLET_PATH_MAX, or the name is "/" alone or has
// a "." or ".." component (it would leave the wallets folder). `out` is written only on RC_OK.
ResultCode resolve_wallet_address(std::string_view wallet_path, std::string_view wallet, std::string& out);
// resolve_wallet_address of the request's `wallet_path` and `wallet` parameters. With
// `must_exist`, RC_NOT_FOUND when the result is not an existing folder.
ResultCode resolve_wallet(const HttpRequest& req, std::string& out, bool must_exist = false);
// The combined check of the network endpoints: resolves the wallet, and on failure fills `resp`
// with the error reply and returns false: "Invalid wallet_path" (fail_status / fail_message when
// given), "Transport not initialized" 500 when `transport_ready` is false, and with `must_exist`
// "Wallet not found" 404.
bool require_wallet(const HttpRequest& req, HttpResponse& resp, std::string& out, bool transport_ready,
                    bool must_exist = false, int fail_status = 400, const char* fail_message = nullptr);

// 16 bytes from exactly 32 hexadecimal digits (either case); RC_INVALID_PARAM otherwise.
ResultCode guid_from_hex(std::string_view text, uint8_t out[16]);
// 16 bytes as 32 lower-case hexadecimal digits.
std::string guid_to_hex(const uint8_t guid[16]);
// The GUID parameter `name`. On failure fills `resp` with the 400 error reply ("Missing required
// GUID parameter" when absent or empty, "Invalid GUID format" otherwise, unless the caller gives
// its own messages) and returns false.
bool param_guid(const HttpRequest& req, HttpResponse& resp, std::string_view name, uint8_t out[16],
                const char* missing_message = nullptr, const char* invalid_message = nullptr);

// A fresh mail request identifier: 8 random bytes as 16 lower-case hexadecimal digits.
std::string mail_request_id();
