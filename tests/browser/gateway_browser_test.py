#!/usr/bin/python3
"""The monitor page in headless Chromium against the real gateway on the bus
simulator: the gateway with a key and a web port, the simulator as its
interface module, then monitor_test.py on the page. Leaves nothing running."""

import argparse
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
KEY = "browser-test-key"


def free_port():
    # A TCP port with the UDP port above it free too (the analyzers').
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port >= 65535:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            try:
                u.bind(("127.0.0.1", port + 1))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port")


def wait_listening(port, process, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def stop(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quillon", required=True)
    parser.add_argument("--bussim", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()
    args.quillon, args.bussim = os.path.abspath(args.quillon), os.path.abspath(args.bussim)

    with tempfile.TemporaryDirectory(prefix="quillon-browser-") as folder:
        simulator = gateway = None
        try:
            # Five frames a second: each wait for a new row is short.
            simulator = subprocess.Popen([args.bussim, "--rate", "5"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                         text=True)
            pty = simulator.stdout.readline().strip()
            if not pty.startswith("/dev/"):
                print(f"FAIL the bus simulator gave no terminal: {pty!r}")
                return 1
            tcp_port, web_port = free_port(), free_port()
            pathlib.Path(folder, "Quillon.ini").write_bytes(
                f"IPPort = {tcp_port}\r\nSerialPort = {pty},38400,0,8,1,0\r\n"
                f"WebPort = {web_port}\r\nAuthKey = {KEY}\r\n".encode())
            log = open(pathlib.Path(folder, "gateway.err"), "w")
            gateway = subprocess.Popen([args.quillon, "--headless", "--listen", "127.0.0.1"],
                                       cwd=folder, stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=log)
            if not wait_listening(web_port, gateway, 20):
                print("FAIL the gateway's web monitor did not listen:\n" +
                      pathlib.Path(folder, "gateway.err").read_text())
                return 1
            # A client with the key, so that the client list shows someone.
            client = socket.create_connection(("127.0.0.1", tcp_port), timeout=5)
            client.sendall(KEY.encode() + bytes.fromhex("0FFB0140B504"))
            # Debian's python3, which has Debian's selenium.
            status = subprocess.call(["/usr/bin/python3",
                                      str(HERE / "monitor_test.py"),
                                      "--url", f"http://127.0.0.1:{web_port}/",
                                      "--key", KEY, "--screenshot", args.screenshot])
            client.close()
            if gateway.poll() is not None:
                print("FAIL the gateway ended:\n" + pathlib.Path(folder, "gateway.err").read_text())
                return 1
            return status
        finally:
            stop(gateway)
            stop(simulator)


if __name__ == "__main__":
    sys.exit(main())
