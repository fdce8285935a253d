#!/usr/bin/env python3
"""TLS relay benchmark: the hub's TCP/IP Server with TLS beside socat's
OPENSSL-LISTEN, each on a fresh pseudo-terminal, with a client certificate
required by both.

    tls_bench.py --program PATH [--reps N] [--mib N] [--timeout S]

The driver plays the serial device (the pty master) and the TCP peer. The
peer reaches the relay under test through a socat client tunnel
(TCP-LISTEN -> OPENSSL), the same for both relays, so that the table
compares what each relay costs; throughput is bounded by the tunnel for
both. Certificates are made here with openssl. Every byte is checked.
Uses relay_bench.py's streams, pty and process handling.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_bench as rb  # noqa: E402


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def make_pki(folder):
    """A CA, the relays' certificate for 127.0.0.1 and the peer's."""
    for name in ("ca", "relay", "peer"):
        openssl(folder, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", name + ".key")
    openssl(folder, "req", "-x509", "-key", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=bench-ca")
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    for name, ext in (("relay", ["-extfile", "san.ext"]), ("peer", [])):
        openssl(folder, "req", "-new", "-key", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        openssl(folder, "x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", name + ".pem", "-days", "2", *ext)
    return lambda name: os.path.join(folder, name)


def started(argv, port, log_path, env=None):
    with open(log_path, "ab") as log:
        proc = rb.spawn(argv, env=env, stderr=log, stdout=log)
    if not rb.wait_listening(proc, port, rb.STARTUP_SECONDS):
        rb.stop(proc)
        return None
    return rb.Relay(proc, log_path, port)


def start_relay(tool, program, pty_path, pki, folder, count):
    for _attempt in range(3):
        port = rb.free_port()
        log = os.path.join(folder, f"{tool}{count}.log")
        if tool == "socat":
            argv = ["socat", f"OPENSSL-LISTEN:{port},bind=127.0.0.1,reuseaddr,cert={pki('relay.pem')},"
                    f"key={pki('relay.key')},cafile={pki('ca.pem')},verify=1", f"FILE:{pty_path},rawer"]
            env = None
        else:
            config = os.path.join(folder, f"hub{count}")
            os.makedirs(config, exist_ok=True)
            with open(os.path.join(config, "ports.ini"), "w") as f:
                f.write(f"[numbering]\nautomatic=false\n[pinned]\n{rb.SERIAL_NUMBER}={pty_path}\n")
            argv = [program, "--headless", "--config-dir", config, "--open", str(rb.SERIAL_NUMBER),
                    "--listen", str(port), "--tls-cert", pki("relay.pem"), "--tls-key", pki("relay.key"),
                    "--tls-client-ca", pki("ca.pem")]
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
            env["XDG_STATE_HOME"] = config
        relay = started(argv, port, log, env)
        if relay:
            return relay
    raise rb.BenchError(f"{tool} did not listen")


def start_tunnel(relay_port, pki, folder):
    for _attempt in range(3):
        port = rb.free_port()
        tunnel = started(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                          f"OPENSSL:127.0.0.1:{relay_port},cert={pki('peer.pem')},key={pki('peer.key')},"
                          f"cafile={pki('ca.pem')},verify=1"], port, os.path.join(folder, "tunnel.log"))
        if tunnel:
            return tunnel
    raise rb.BenchError("the socat tunnel did not listen")


def throughput(tool, to_serial, args, pki, folder, data, count):
    with rb.Pty() as pty:
        master = rb.Chan(pty.master, "pty master")
        relay = start_relay(tool, args.program, pty.path, pki, folder, count)
        tunnel = start_tunnel(relay.server2, pki, folder)
        try:
            with rb.connect_local(tunnel.server2) as sock:
                peer = rb.Chan(sock, "TCP peer")
                rb.handshake(peer, master)
                src, dst = (peer, master) if to_serial else (master, peer)
                r = rb.stream(src, [dst], data, args.timeout, pid=relay.pid)
        finally:
            tunnel.stop()
            relay.stop()
    return {"mbps": len(data) / r["seconds"] / 1e6,
            "cpu_per_gib": r["cpu_ticks"] / rb.CLK_TCK / (len(data) / rb.GiB)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", required=True, help="path of the quaylight program")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--mib", type=int, default=64, help="MiB per transfer")
    ap.add_argument("--timeout", type=float, default=180.0)
    args = ap.parse_args()
    data = rb.make_payload(args.mib * rb.MiB)
    samples = {}
    count = 0
    with tempfile.TemporaryDirectory(prefix="quaylight-tls-bench-") as folder:
        pki = make_pki(folder)
        try:
            for _rep in range(args.reps):
                for to_serial in (False, True):
                    for tool in ("hub", "socat"):
                        count += 1
                        result = throughput(tool, to_serial, args, pki, folder, data, count)
                        for key, value in result.items():
                            samples.setdefault((tool, to_serial, key), []).append(value)
        finally:
            rb.stop_all()
    print(f"TLS relay, {args.reps} repetition(s) of {args.mib} MiB each way, medians; "
          "client certificate required; both relays behind the same socat OPENSSL tunnel")
    print(f"{'measure':<34}{'hub':>10}{'socat':>10}{'hub/socat':>11}  target")
    for to_serial, direction in ((False, "serial->TCP"), (True, "TCP->serial")):
        for key, label, target in (("mbps", "MB/s", ">= 1.0"), ("cpu_per_gib", "relay CPU s/GiB", "<= 1.0")):
            hub = statistics.median(samples[("hub", to_serial, key)])
            socat = statistics.median(samples[("socat", to_serial, key)])
            print(f"{direction + ' ' + label:<34}{hub:>10.1f}{socat:>10.1f}{hub / socat:>11.2f}  {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
