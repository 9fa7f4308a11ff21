#include <cstdint>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/download_attempt.h"
#include "services/file_in_place.h"
#include "services/partial_download.h"
#include "services/program_image.h"
#include "services/release_check.h"
#include "services/wininet_api.h"

namespace {

// The download's result for a received file that a signed build refused,
// with what ended it noted in `report`.
DownloadResult Refusal(ReleaseVerdict verdict, DownloadReport* report) {
  switch (verdict) {
    case ReleaseVerdict::kKept:
    case ReleaseVerdict::kSignerRefused:
      break;
    case ReleaseVerdict::kNoVersionResource:
      return Ended(report, DownloadEnd::kNoVersionResource, kWrongProgram);
    case ReleaseVerdict::kWrongName:
      return Ended(report, DownloadEnd::kWrongName, kWrongProgram);
    case ReleaseVerdict::kBelowFloor:
      return Ended(report, DownloadEnd::kBelowFloor, kWrongProgram);
    case ReleaseVerdict::kOlderThanReference:
      return Ended(report, DownloadEnd::kOlder, kInstalledIsNewer);
  }
  return Ended(report, DownloadEnd::kNotSigned, kSignatureRefused);
}

// True when `seen` found no connection at all: the name did not resolve,
// nothing accepted or answered in time, or the connection was lost before
// any answer. Not a certificate the checks refused: a connection was made.
bool FoundNoConnection(const AttemptReport& seen) {
  const DWORD error = seen.error;
  return seen.end == DownloadEnd::kNoConnection &&
         (error == ERROR_INTERNET_NAME_NOT_RESOLVED || error == ERROR_INTERNET_CANNOT_CONNECT ||
          error == ERROR_INTERNET_CONNECTION_ABORTED || error == ERROR_INTERNET_CONNECTION_RESET ||
          error == ERROR_INTERNET_TIMEOUT || error == ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

// The seconds to wait before the attempt after `seen`, the `attempt`-th,
// or -1 when another attempt would meet the same failure: only a lost or
// broken connection, a 5xx, 408 or 429, or a range not continued, may pass.
// A Retry-After sets the wait. No connection at all is tried again at once,
// through the system's proxy settings.
std::int32_t SecondsBeforeNextAttempt(const AttemptReport& seen, std::int32_t attempt) {
  if (FoundNoConnection(seen)) return 0;
  const std::uint32_t status = seen.status;
  const bool transient = seen.end == DownloadEnd::kReadError ||
                         seen.end == DownloadEnd::kCutShort || seen.end == DownloadEnd::kBadRange ||
                         (seen.end == DownloadEnd::kBadStatus &&
                          ((status >= 500 && status <= 599) || status == 408 || status == 429));
  if (!transient) return -1;
  return seen.retry_after >= 0 ? seen.retry_after : attempt;
}

// Downloads `url` to `file_path` (DownloadToFile) in as many attempts as
// `limits` allow, keeping the received body, or the revalidated file, only
// when `check_kept(path, size)` returns its size; any other result is the
// download's. A template, so that the plain download carries no check and
// each build links only the one it calls.
template <typename CheckKept>
DownloadResult Download(const NarrowString& url, const NarrowString& file_path,
                        const DownloadConditions& conditions, const DownloadLimits& limits,
                        DownloadReport* report, CheckKept check_kept) {
  *report = DownloadReport();
  // First the good copy a replace that failed kept aside, then what earlier
  // runs moved aside, once nothing runs or holds it.
  report->put_back = PutBackPrevious(file_path);
  RemoveMovedAside(file_path);
  const WinInetApi* wininet = LoadWinInet();
  if (wininet == nullptr) return kSessionFailed;
  PartialBody partial;
  TakeUpPartial(url, file_path, &partial, report);
  DownloadResult result;
  std::int32_t waited = 0;
  // Direct first, as ever; once no connection at all could be made, the
  // rest of this download goes through the system's proxy settings (a
  // network that only a proxy leaves). The next download starts direct.
  DWORD access_type = INTERNET_OPEN_TYPE_DIRECT;
  for (std::int32_t attempt = 1;; ++attempt) {
    result = report->result = AttemptDownload(*wininet, url, file_path, conditions, limits,
                                              access_type, &partial, report);
    if (FoundNoConnection(*report)) access_type = INTERNET_OPEN_TYPE_PRECONFIG;
    const std::int32_t wait = SecondsBeforeNextAttempt(*report, attempt);
    if (result >= 0 || attempt >= limits.attempts || attempt >= kMostAttempts || wait < 0 ||
        wait > kMostRetryWaitSeconds - waited) {
      break;
    }
    // Waited for: only the failed line of a download says what was not.
    report->retry_after = -1;
    report->retried[report->retried_count++] = *report;
    static_cast<AttemptReport&>(*report) = AttemptReport();
    Sleep(static_cast<DWORD>(wait) * 1000);
    waited += wait;
  }
  // A 304 to the whole body an earlier run left makes that body the new file.
  if (partial.whole) report->revalidated = false;
  // What outlives the run: a body broken off, or one left whole and not
  // answered; never one refused, past the cap or not written.
  bool keep = result < 0 && (partial.whole || (partial.kept > 0 && OutlivesItsRun(partial)));
  if (result >= 0 && !report->revalidated && !StartsLikeAProgram(partial.temp_path)) {
    result = Ended(report, DownloadEnd::kNoPeImage, kNotAProgram);
  }
  if (result >= 0) result = check_kept(report->revalidated ? file_path : partial.temp_path, result);
  if (result >= 0 && !report->revalidated) {
    const Placement placement = PutInPlace(partial.temp_path, file_path);
    report->moved_aside = placement == Placement::kMovedAside;
    if (placement == Placement::kHeld && !partial.whole) {
      // Held past the wait (a scanner): the whole body stays for the next
      // run, which asks for it with its own conditions.
      RecordCheckpoint(&partial, static_cast<std::uint32_t>(result), report->digest,
                       report->conditions, true);
      partial.whole = true;
      partial.length = result;
    }
    keep = placement == Placement::kHeld;
    if (placement == Placement::kHeld || placement == Placement::kFailed) {
      result = Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
    }
  }
  SettlePartial(&partial, keep, report);
  report->result = result;
  return result;
}

}  // namespace

DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const DownloadConditions& conditions, const DownloadLimits& limits,
                              DownloadReport* report) {
  return Download(url, file_path, conditions, limits, report,
                  [](const NarrowString&, DownloadResult size) { return size; });
}

DownloadResult DownloadReleaseToFile(const NarrowString& url, const NarrowString& file_path,
                                     const DownloadConditions& conditions,
                                     const NarrowString& signer_pins, FileVersion min_version,
                                     const DownloadLimits& limits, DownloadReport* report) {
  // Checked before the file is kept: a body cut short, changed, signed by
  // anyone else, or another or an older program of the publisher's never
  // replaces the target. A revalidated file is the one at the target, so it
  // is checked by the rules alone: a launcher with new pins or a higher
  // floor never hands off to a file it would not download.
  return Download(url, file_path, conditions, limits, report,
                  [&](const NarrowString& candidate, DownloadResult size) {
                    ReleaseCheck check =
                        CheckRelease(candidate, FileNameIn(file_path.c_str()), signer_pins,
                                     min_version, report->revalidated ? NarrowString() : file_path);
                    if (check.verdict == ReleaseVerdict::kKept) return size;
                    report->name = ToNarrow(check.identity.original_filename.get());
                    report->version = check.identity.version;
                    return Refusal(check.verdict, report);
                  });
}
