"""Where the end-to-end launchers find their servers: the ports and names
they were built for. Read as endpoints.PORT and so on, never copied, since
use_group changes them."""

# The e2e and demo launchers are built for 127.0.0.1:28613, a port below
# Linux's ephemeral range, so no test's client socket can be holding it; the
# signed build for https://localhost:28614. A second group of e2e launchers
# is built for 28623 and 28624, so that two scenarios can run at once.
PORT = 28613
TLS_PORT = 28614


# The second host of the fallback scenarios' launchers (first group only):
# 127.0.0.1:28617, and for the signed build localhost:28618.
FALLBACK_PORT = 28617
FALLBACK_TLS_PORT = 28618

# The name the proxy scenarios' launchers are built for: only the tests'
# proxy resolves it (to the loopback), so a direct connection cannot.
PROXIED_HOST = "downloads.orvinta.test"
# The proxy's port, on the loopback.
PROXY_PORT = 28619


def use_group(group):
    """Serves the launchers of e2e group `group` (0 or 1) from here on."""
    global PORT, TLS_PORT
    PORT, TLS_PORT = 28613 + 10 * group, 28614 + 10 * group
