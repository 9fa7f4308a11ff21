// Times DownloadToFile against a bare 1024-byte WinINet loop with the same
// flags (RELOAD | NO_CACHE_WRITE) on the same server, that loop with RELOAD
// alone (what a download cost while it also wrote the WinINet cache), and
// with a signed build's check (PINS, the pin of the key that signed the served
// file) against without, and reports the process's working set. The checked
// download replaces the same version, which the previous download kept, so
// it verifies one signature, the download's; "signer_check_alone" is that one
// verification by itself.
// Usage: download_benchmark URL FOLDER ROUNDS PINS
// Prints "name value unit" lines; asserts nothing.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "launcher/service_operations.h"
#include "services/signer_check.h"

namespace {

// The shipped defaults.
constexpr DownloadLimits kLimits = {60, 1024, kLargestDownload};

double Seconds(LARGE_INTEGER start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// The plainest possible download: 1024-byte reads written straight to a file.
long long ReferenceDownload(const std::string& url, const std::string& path, DWORD flags) {
  HINTERNET session =
      InternetOpenA("Orvinta Launcher", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0);
  FILE* file = std::fopen(path.c_str(), "wb");
  char buffer[1024];
  DWORD count = 0;
  long long total = 0;
  while (InternetReadFile(request, buffer, sizeof(buffer), &count) && count > 0) {
    std::fwrite(buffer, count, 1, file);
    total += count;
  }
  std::fclose(file);
  InternetCloseHandle(request);
  InternetCloseHandle(session);
  return total;
}

SIZE_T PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PeakWorkingSetSize;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  int rounds = std::atoi(argv[3]);
  std::string url = argv[1];
  std::string folder = argv[2];
  std::string pins = argv[4];
  double best_reference = 1e9, best_cached = 1e9, best_launcher = 1e9, best_signed = 1e9;
  long long bytes = 0;
  SIZE_T peak_before = 0, peak_after = 0;
  DownloadReport report;
  for (int round = 0; round < rounds; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bytes = ReferenceDownload(url, folder + "\\reference.bin",
                              INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE);
    double reference = Seconds(start);
    if (reference < best_reference) best_reference = reference;
    DeleteFileA((folder + "\\reference.bin").c_str());

    if (round == 0) peak_before = PeakWorkingSet();
    QueryPerformanceCounter(&start);
    DownloadResult result =
        DownloadToFile(url.c_str(), (folder + "\\orvinta.exe").c_str(), {}, kLimits, &report);
    double launcher = Seconds(start);
    if (round == 0) peak_after = PeakWorkingSet();
    if (result < 0) {
      std::printf("download_failed %d code\n", result);
      return 1;
    }
    if (launcher < best_launcher) best_launcher = launcher;

    QueryPerformanceCounter(&start);
    result = DownloadReleaseToFile(url.c_str(), (folder + "\\orvinta.exe").c_str(), {},
                                   pins.c_str(), kAnyVersion, kLimits, &report);
    double signed_launcher = Seconds(start);
    if (result < 0) {
      std::printf("signed_download_failed %d code\n", result);
      return 1;
    }
    if (signed_launcher < best_signed) best_signed = signed_launcher;
  }
  // The check alone, on the file the last download kept: a download's own
  // spread on this machine is larger than the check.
  double best_check = 1e9;
  for (int round = 0; round < rounds; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool accepted = CheckSigner((folder + "\\orvinta.exe").c_str(), pins.c_str()).verdict ==
                    SignatureVerdict::kPinned;
    double check = Seconds(start);
    if (!accepted) {
      std::printf("signer_check_refused 1 file\n");
      return 1;
    }
    if (check < best_check) best_check = check;
  }
  // Last: the 200 MB each of these writes into the cache would slow the
  // downloads measured after it while the system writes it back.
  for (int round = 0; round < rounds; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    ReferenceDownload(url, folder + "\\reference.bin", INTERNET_FLAG_RELOAD);
    double cached = Seconds(start);
    if (cached < best_cached) best_cached = cached;
    DeleteFileA((folder + "\\reference.bin").c_str());
  }
  std::printf("download_bytes %lld bytes\n", bytes);
  std::printf("reference_seconds %.3f s (RELOAD | NO_CACHE_WRITE)\n", best_reference);
  std::printf("reference_with_cache_write_seconds %.3f s (RELOAD alone: %.3f x)\n", best_cached,
              best_cached / best_reference);
  std::printf("launcher_seconds %.3f s\n", best_launcher);
  std::printf("launcher_to_reference_ratio %.3f x (goal 1.03)\n", best_launcher / best_reference);
  std::printf("launcher_with_signer_check_seconds %.3f s\n", best_signed);
  std::printf("signer_check_cost %.3f s (%.1f%% of the unchecked download; goal 6%%)\n",
              best_signed - best_launcher, 100.0 * (best_signed - best_launcher) / best_launcher);
  std::printf("signer_check_alone_seconds %.3f s (%.1f%% of the unchecked download)\n", best_check,
              100.0 * best_check / best_launcher);
  std::printf("peak_working_set_before_download %.2f MiB\n", peak_before / 1048576.0);
  std::printf("peak_working_set_after_download %.2f MiB\n", peak_after / 1048576.0);
  std::printf("peak_working_set_growth_during_download %.2f MiB\n",
              (peak_after - peak_before) / 1048576.0);
  return 0;
}
