// What the user may change, "launcher.settings.xml" beside the program: peer-to-
// peer and web downloads, the rate limits, the licence acceptance and what
// updating does while the game runs. Defaults come from the configuration; read
// at start-up, written (replaced atomically) at every shutdown.
#pragma once

#include <cstdint>

class CConfig;

class CSettings {
  public:
    virtual ~CSettings() {}
    // The defaults: both sources on, the configuration's rate switch, Default
    // rates and OptionalPatchDownloadDefault, the licence not accepted.
    void Reset(const CConfig &config);
    // Resets, then reads the file at path: each child of the root in decimal,
    // the rates through the rate rule. 1 when the file was loaded; 0 (defaults
    // kept) when it is missing or not XML.
    int Read(const char *path, const CConfig &config);
    // The rate rule on both rates: below 0 → 0, then at most the configured Max.
    void Clamp(const CConfig &config);
    // Writes the file through a synced temporary file renamed over path, so a
    // failure leaves the old file whole. 1 when saved; 0 logged with the failed
    // call, the path and the error.
    int Write(const char *path) const;

    int32_t P2PEnabled = 1;
    int32_t WebEnabled = 1;
    int32_t RateLimitEnabled = 0;
    int64_t RateLimitUp = 0;   // bytes per second
    int64_t RateLimitDown = 0; // bytes per second
    int32_t EULAAccepted = 0;
    int32_t OptionalPatchDownload = 0; // CONFIG_PLAY_*
};

// The rate rule for one rate and its configured bound.
int64_t CSettings_ClampRate(int64_t value, int64_t max);
