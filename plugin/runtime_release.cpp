// Linked only into the plug-in library, whose C++ runtime is its own static copy.
//
// That copy sets aside an emergency buffer for exceptions (about 71 KiB) when the library is
// loaded and never gives it back. A host that loads and unloads plug-ins, as it may on every
// restart of its telemetry, would lose that much each time. Hand it back when we are unloaded.
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx

namespace {

struct RuntimeRelease {
  RuntimeRelease() = default;
  RuntimeRelease(const RuntimeRelease&) = delete;
  RuntimeRelease& operator=(const RuntimeRelease&) = delete;
  ~RuntimeRelease() { __gnu_cxx::__freeres(); }
};

const RuntimeRelease release_at_unload;

}  // namespace
