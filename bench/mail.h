// The mail the send benchmarks send, and the two ways of sending it: our
// VTLSendMail and libcurl, with the same message bytes on the wire.
#pragma once

#include <string>

namespace vtl::bench {

// The SMTP server: smtp-sink on port 25 of this loopback address, unless
// VTL_BENCH_SERVER names another.
std::string BenchServer();

// Makes this process a Japanese Shift_JIS system for VTLSendMail.
void UseJapaneseLocale();

// VTLSendMail's result for the benchmark mail with this Shift_JIS body.
int SendWithVtl(const std::string& server, const std::string& body);

// What VTLSendMail puts between DATA and the final ".": the header block and
// the converted body, with a Date and Message-ID of the usual lengths.
std::string WireMessage(const std::string& body);

// Sends `message` (as WireMessage makes it) through libcurl; true when the
// server accepted it. One easy handle per send, as one call of ours is.
bool SendWithCurl(const std::string& server, const std::string& message);

}  // namespace vtl::bench
