#pragma once
// The launcher's codes: the "rc" of a reply, the popup answers, the results that travel
// inside a reply's content, the process's exit codes and the user extension's relay codes.
// Every one is a value on the wire or of the process: none may change.

#include <cstdint>

// ---- "rc" of a reply ----
inline constexpr int kRcDone = 0;
// "run" and "update": "args" is of the wrong kind.
inline constexpr int kRcArgsWrongKind = 15;
// The dispatcher's own.
inline constexpr int kRcNoArgs = 16;
inline constexpr int kRcUnknownOp = 17;
inline constexpr int kRcNoJsonDocument = 18;
inline constexpr int kRcException = 21;
// "postStatus".
inline constexpr int kRcPostFailed = 70;
inline constexpr int kRcPostArgsUnusable = 71;
// "update".
inline constexpr int kRcInstallFailed = 80;
inline constexpr int kRcInstallerNotStarted = 81;
inline constexpr int kRcUpdatePathRefused = 166;
inline constexpr int kRcUpdateArgMissing = 167;
inline constexpr int kRcUpdateConcurrent = 172;
// "bind" and "init".
inline constexpr int kRcInvalidUuid = 100;
inline constexpr int kRcNoticeWriteFailed = 101;
inline constexpr int kRcServicePipeUnreachable = 102;
// "run" and its actions.
inline constexpr int kRcUnknownAction = 149;
inline constexpr int kRcNoDestination = 150;
inline constexpr int kRcNoDownloadFolder = 151;
inline constexpr int kRcNoResponse = 154;
inline constexpr int kRcCommandNotStarted = 155;
inline constexpr int kRcNoCommandArray = 157;
inline constexpr int kRcCommandElementNotString = 158;
inline constexpr int kRcUnzipFailed = 169;
inline constexpr int kRcUnzipArgumentEmpty = 171;

// ---- answers of "exe" and "url", in the content (the "rc" is kRcDone) ----
inline constexpr int kPopupRefused = 40;
inline constexpr int kPopupAcceptOnce = 42;
inline constexpr int kPopupAcceptAlways = 43;
inline constexpr int kPopupUnknown = 44;

// ---- results inside a content's "rc" ----
// Utils::DownloadMedia.
inline constexpr std::int32_t kDownloadDone = 0;
inline constexpr std::int32_t kDownloadAlreadyPresent = 1;
inline constexpr std::int32_t kDownloadFailed = 2;
inline constexpr std::int32_t kDownloadNoSpace = 3;
// Operations::Local::Unzip.
inline constexpr std::int32_t kUnzipDone = 0;
inline constexpr std::int32_t kUnzipArgumentEmpty = 1;
inline constexpr std::int32_t kUnzipFailed = 2;

// ---- exit codes of the process (one-shot mode exits with the request's "rc") ----
inline constexpr int kExitStopped = 0;
// A command line that cannot be split, or run mode without exactly a pipe name.
inline constexpr int kExitBadCommandLine = 14;
inline constexpr int kExitException = 21;
inline constexpr int kExitClientReadFailed = 160;
inline constexpr int kExitClientReplyFailed = 161;
inline constexpr int kExitNoWindow = 162;
inline constexpr int kExitNoPipeInstance = 164;
inline constexpr int kExitNoWindowClass = 168;

// ---- Operations::AsUser; any other value is the extension's own "rc" ----
inline constexpr std::uint32_t kAsUserDone = 0;
inline constexpr std::uint32_t kAsUserUnreachable = 2;
inline constexpr std::uint32_t kAsUserMalformedReply = 3;
