// Locating the default model set. The installed layout is found from the executable's own
// path, so that a relocated install keeps working; the source tree's folder is fixed at build time.
#include "default_models.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace kalwake_app {

namespace {

bool is_file(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string executable_dir() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) {
    return "";
  }
  buf[n] = '\0';
  std::string path(buf);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

} // namespace

std::vector<std::string> default_frontend_candidates() {
  std::vector<std::string> dirs;
  const std::string exe = executable_dir();
  if (!exe.empty()) {
    dirs.push_back(exe + "/" KALWAKE_INSTALLED_MODELS_REL);
  }
#ifdef KALWAKE_SOURCE_MODELS_DIR
  dirs.emplace_back(KALWAKE_SOURCE_MODELS_DIR);
#endif
  return dirs;
}

std::string find_default_frontend(const std::vector<std::string> &candidates) {
  for (const std::string &dir : candidates) {
    if (is_file(dir + "/melspectrogram.onnx") && is_file(dir + "/embedding_model.onnx")) {
      return dir;
    }
  }
  return "";
}

} // namespace kalwake_app
