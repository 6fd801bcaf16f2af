// The service this client talks to: its names, fallback addresses and the
// client code. Kept together so a deployment changes one file.
#pragma once

namespace corvilink::endpoints {

// Six upper-case letters and three digits; the caller letter is appended at start.
inline constexpr const char* kClientCode = "CORVIL046";
// Default of ACCOUNT/Domain.
inline constexpr const char* kServiceDomain = "corvilink.example";
// Resolved in turn by the update-failure count.
inline constexpr const char* kUpdateHosts[4] = {
    "update1.corvilink.example",
    "update2.corvilink.example",
    "update3.corvilink.example",
    "update4.corvilink.example",
};
// Used when the update-server look-up fails (A), and for the IP server (B, C).
inline constexpr const char* kFallbackA = "192.0.2.10";
inline constexpr const char* kFallbackB = "198.51.100.10";
inline constexpr const char* kFallbackC = "203.0.113.10";
inline constexpr const char* kIPv6TestHost = "ipv6.corvilink.example";

inline constexpr const char* kUpdatePort = "900";
inline constexpr const char* kUpdateFallbackPort = "80";
inline constexpr const char* kMyIPPort = "901";
inline constexpr const char* kHeartBeatPort = "910";
inline constexpr unsigned short kLocalNoticePort = 900;
inline constexpr unsigned short kLogBroadcastPort = 899;

// The web pages the desktop window names and links to.
namespace web {
inline constexpr const char* kServicePage = "https://www.corvilink.example";
inline constexpr const char* kMakerPage = "https://www.corvilink-software.example";
inline constexpr const char* kPasswordReset = "https://passwort.corvilink.example";
inline constexpr const char* kAccountPageDe = "https://konto.corvilink.example";
inline constexpr const char* kAccountPageEn = "https://account.corvilink.example";
}  // namespace web

}  // namespace corvilink::endpoints
