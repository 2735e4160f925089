#!/usr/bin/python3
"""devgate's HTTP face with TLS, against a certificate authority and a server
certificate the test makes with openssl: curl reads over HTTPS checked
against that authority, a plain HTTP request to the TLS port gets no answer,
and plain HTTP on an address other than the loopback is refused at start
(exit 2, saying why). With --testssl, Debian's testssl.sh scans the server
too and no finding may be high or critical.

  http_tls.py DEVGATE SITE [--testssl]
"""
import json
import os
import re
import select
import subprocess
import sys
import tempfile

DEVGATE, SITE = sys.argv[1:3]
TESTSSL = "--testssl" in sys.argv[3:]
DEADLINE_S = 20


def run(*args, timeout=DEADLINE_S):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def make_certificates(folder):
    """ca.pem, and cert.pem/key.pem for 127.0.0.1 signed by it, valid a year."""
    p = lambda name: os.path.join(folder, name)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("openssl", "req", "-x509", *curve, "-keyout", p("ca.key"), "-out", p("ca.pem"), "-days", "365",
        "-subj", "/CN=devgate test authority")
    run("openssl", "req", *curve, "-keyout", p("key.pem"), "-out", p("req.pem"), "-subj", "/CN=127.0.0.1")
    with open(p("ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                "extendedKeyUsage=serverAuth\ncrlDistributionPoints=URI:http://127.0.0.1/ca.crl\n")
    run("openssl", "x509", "-req", "-in", p("req.pem"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
        "-CAcreateserial", "-out", p("cert.pem"), "-days", "365", "-extfile", p("ext"))
    return p("ca.pem"), p("cert.pem"), p("key.pem")


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    folder = tempfile.mkdtemp(prefix="devgate-tls-")
    ca, cert, key = make_certificates(folder)

    for args in (["--http", "0.0.0.0:0"], ["--http", "[::]:0"], ["--http", "192.0.2.1:0"]):
        r = run(DEVGATE, "run", SITE, *args)
        check(r.returncode == 2 and "--plain-http" in r.stderr, "plain HTTP beyond the loopback: %s" % r)
    r = run(DEVGATE, "run", SITE, "--http", "127.0.0.1:0", "--tls-cert", os.path.join(folder, "ca.key"),
            "--tls-key", key, "--seconds", "5")
    check(r.returncode == 1 and "certificate" in r.stderr, "a certificate that is no certificate: %s" % r)

    gate = subprocess.Popen([DEVGATE, "run", SITE, "--http", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([gate.stderr], [], [], DEADLINE_S)
        m = re.search(r"http on (https://127\.0\.0\.1:(\d+)/)", gate.stderr.readline() if ready else "")
        check(m, "devgate serves HTTPS")
        url, port = m.group(1), m.group(2)
        r = run("curl", "-sS", "-m", "10", "--cacert", ca, url + "api/site")
        check(r.returncode == 0 and json.loads(r.stdout)["lines"], "a read over HTTPS: %s" % r)
        r = run("curl", "-sS", "-m", "10", url.replace("https", "http") + "api/site")
        check(r.returncode != 0, "plain HTTP to the TLS port gets no answer: %s" % r)
        r = run("curl", "-sS", "-m", "10", "--cacert", ca, "--tls-max", "1.2", url + "api/site")
        check(r.returncode != 0, "TLS 1.2 is refused: %s" % r)
        if TESTSSL:
            report = os.path.join(folder, "testssl.json")
            run("testssl", "--quiet", "--color", "0", "--warnings", "off", "--add-ca", ca, "--jsonfile", report,
                "127.0.0.1:" + port, timeout=600)
            with open(report) as f:
                findings = json.load(f)
            bad = [(x["id"], x["severity"], x["finding"]) for x in findings if x["severity"] in ("HIGH", "CRITICAL")]
            check(findings and not bad, "testssl.sh findings: %s" % bad)
            print("testssl.sh: %d findings, none high or critical" % len(findings))
    finally:
        gate.terminate()
        gate.wait(timeout=DEADLINE_S)
    check(gate.returncode == 0, "exit status %d" % gate.returncode)
    print("http_tls: all checks passed")


if __name__ == "__main__":
    main()
