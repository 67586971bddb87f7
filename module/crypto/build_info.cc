// build_info(): the libraries that sign and hash in this build, with the
// versions loaded at run time (a wheel carries its own libcrypto).
#include "core/crypto/ed25519.h"
#include "core/crypto/library.h"
#include "module/errors.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

PyObject* build_info_py(PyObject*, PyObject*) {
  return guard([]() -> PyObject* {
    Library ed25519 = ed25519::library();
    Library sha256 = openssl_library();
    return Py_BuildValue("{s:s,s:s,s:s,s:s}", "ed25519", ed25519.name.c_str(), "ed25519_version",
                         ed25519.version.c_str(), "sha256", sha256.name.c_str(), "sha256_version",
                         sha256.version.c_str());
  });
}

PyMethodDef build_info_defs[] = {
    {"build_info", build_info_py, METH_NOARGS,
     "build_info()\n--\n\nThe libraries that sign (Ed25519) and hash (SHA-256), as a dict:\n"
     "ed25519, ed25519_version, sha256, sha256_version."},
};

}  // namespace

int add_build_info_native(PyObject* native) {
  return add_native_functions(native, build_info_defs);
}

}  // namespace tallyvox::py
