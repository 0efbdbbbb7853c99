"""A line of a given rate between the benchmark's client and a server of its
own: a second network namespace joined to the client's by a veth pair, both
ends sending at most the rate through a token bucket (tbf; this kernel has
no netem, so no delay is added). The server's address is SERVER_ADDRESS in
the client's namespace."""

import subprocess

from kit.processes import Namespace

SERVER_ADDRESS = "10.77.0.1"
CLIENT_ADDRESS = "10.77.0.2"
CLIENT_END, SERVER_END = "link0", "link1"


class ShapedLink:
    def __init__(self, client_namespace):
        self.client = client_namespace
        self.server = Namespace(connected=False)
        subprocess.run(["ip", "link", "add", CLIENT_END, "netns", self.client.name, "type", "veth",
                        "peer", "name", SERVER_END, "netns", self.server.name],
                       check=True, timeout=30, capture_output=True)
        for namespace, end, address in ((self.client, CLIENT_END, CLIENT_ADDRESS),
                                        (self.server, SERVER_END, SERVER_ADDRESS)):
            namespace.run("ip", "addr", "add", address + "/24", "dev", end)
            namespace.run("ip", "link", "set", end, "up")

    def set_rate(self, mbit):
        """Both directions at most mbit Mbit/s. The bucket holds 10 ms of
        the rate (at least 32 KiB, more than one segment the veth passes
        whole), and a queue of at most 100 ms before packets are dropped,
        as a line's modem would."""
        burst = max(32 * 1024, mbit * 1000 * 1000 // 8 // 100)
        for namespace, end in ((self.client, CLIENT_END), (self.server, SERVER_END)):
            namespace.run("tc", "qdisc", "replace", "dev", end, "root", "tbf",
                          "rate", "%dmbit" % mbit, "burst", str(burst), "latency", "100ms")

    def delete(self):
        # Deleting the server's namespace deletes the pair.
        self.server.delete()
