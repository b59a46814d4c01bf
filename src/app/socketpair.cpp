// The loopback socket pair behind every descriptor, also offered to callers.
#include "app/vifnet32_app.h"

namespace {
// The socket pair reports through errno alone; the last error code stays as the socket layer
// left it.
int FailWith(int wsaCode) {
    plat::SetErrno(wsaCode);
    return -1;
}
}  // namespace

int CVifnet32App::socketpair(int domain, int type, int protocol, int sv[2]) {
    // Nowhere to put the pair: the bad-argument pair, without a message like the other refusals.
    if (!sv) return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, nullptr);
    sv[1] = -1;
    sv[0] = -1;
    // Checked in this order, so only the first violation is reported. No message: callers see
    // the Windows Sockets code in errno.
    if (domain != 2) return FailWith(VF_WSAEAFNOSUPPORT);
    if (type != 1) return FailWith(VF_WSAEPROTONOSUPPORT);
    if (protocol != 0) return FailWith(VF_WSAEPROTOTYPE);
    plat::Socket ends[2];
    int code = plat::MakeStreamSocketPair(ends);
    if (code != 0) return FailWith(code);
    sv[0] = static_cast<int>(ends[0]);
    sv[1] = static_cast<int>(ends[1]);
    return 0;
}
