// The gateway's wire format, apart from the transport: the form body of a
// request, the "name=value" lines of a reply, and the URL a server host names.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::gateway_wire {

using Fields = std::vector<std::pair<std::string, std::string>>;

// One "name=value" pair per field and one "offerN=name:value^name:value" pair
// per offer (in the order of their indexes), form-encoded and joined by "&".
std::string EncodeRequest(const Fields& fields, const std::vector<std::pair<int, Fields>>& offers);

// The offer's value as it travels: "quantity:1^amount:114.95".
std::string OfferText(const Fields& offer);

// Decodes an application/x-www-form-urlencoded body; nothing when it is malformed.
std::optional<Fields> DecodeForm(const std::string& body);
// Encodes one component of a form ("%XX" for everything but letters, digits and "-._~", "+" for blanks).
std::string FormEncode(const std::string& text);

// The fields of a reply: lines "name=value" (LF or CR LF), names of letters,
// digits and "_". Nothing when a line is anything else or no line is there:
// such a reply is garbled and cannot be trusted in part.
std::optional<Fields> ParseReply(const std::string& body);

// The URL of a server host: a URL as it is; a host with an optional port as
// "https://host[:port]/". Raises (ole::AutomationError) for an empty host, a
// scheme other than http and https, and http to anything but a loopback address.
std::string GatewayUrl(const std::string& serverHost);

bool IsLoopbackHost(const std::string& host);

}  // namespace qx::gateway_wire
