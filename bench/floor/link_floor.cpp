// An empty program linked against one client library, waiting for SIGTERM:
// the private dirty memory it has is what linking that library costs any
// daemon before it does anything (relocated data of the library and its
// dependencies). e2e_bench.py sets the daemons' idle figures beside it.
#include <unistd.h>

#include <cstdio>

#if defined(FLOOR_CURL)
#include <curl/curl.h>
#define FLOOR_SYMBOL curl_version
#elif defined(FLOOR_MOSQUITTO)
#include <mosquittopp.h>
#define FLOOR_SYMBOL mosqpp::lib_version
#endif

int main() {
#ifdef FLOOR_SYMBOL
  // One reference, so the library stays linked.
  std::printf("%p\n", reinterpret_cast<void*>(&FLOOR_SYMBOL));
#else
  std::printf("ready\n");
#endif
  std::fflush(stdout);
  pause();
  return 0;
}
