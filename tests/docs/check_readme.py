"""Runs the commands the README and the pages of docs/ show, so they stay true.

Started by run_with_simulator.sh (HALVEX_PORT, HALVEX_MONITOR_PORTS, HALVEX_SIM_CONTROL set):
  check_readme.py README BUILD_DIR
The README and every page of docs/ but the Windows guide (whose blocks are Windows code, kept
true by check_windows_guide.py) are read, in that order:
- every `halvexctl ...` line of a sh block runs against the simulated chassis and must exit 0;
- the `halvex-sim ...` line starts the simulator, which must come up and create its links;
- the `cmake --install ...` line installs the build (into a scratch prefix), and the bench
  target runs;
- the C blocks compile against the public header; the Python blocks run against the chassis;
- every kind of command above is found at least once, and every relative link of these pages
  names a file of the tree.
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from sim_control import ControlChannel, SimulatorError  # noqa: E402

readme, build = sys.argv[1], os.path.abspath(sys.argv[2])
source = os.path.dirname(os.path.abspath(readme))
PAGES = ["library.md", "behaviour.md", "halvexctl.md", "python.md", "panel.md", "simulator.md",
         "performance.md", "building.md", "fixture.md"]
failures = []
blocks = []
for path in [readme] + [os.path.join(source, "docs", p) for p in PAGES]:
    text = open(path, encoding="utf-8").read()
    blocks += re.findall(r"```(\w+)\n(.*?)```", text, re.S)
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
        if "://" not in target and not os.path.exists(os.path.join(os.path.dirname(path), target)):
            failures.append(f"{os.path.relpath(path, source)} links {target}, which does not exist")
ran = 0
kinds = {"C example": 0, "Python example": 0, "halvexctl": 0, "halvex-sim": 0, "bench": 0,
         "cmake --install": 0}


def control(*requests: str) -> None:
    with ControlChannel(os.environ["HALVEX_SIM_CONTROL"]) as channel:
        try:
            for r in requests:
                channel.request(r)
        except SimulatorError as e:
            raise SystemExit(str(e))


control("reset", "card 1 X16 HALVEX X16", "card 2 X48 HALVEX X48", "card 3 X16 HALVEX X16",
        "card 5 Y48 HALVEX Y48", "card 7 Y48 HALVEX Y48")
env = dict(os.environ, PATH=os.path.join(build, "tools") + os.pathsep + os.environ["PATH"])

with tempfile.TemporaryDirectory() as scratch:
    for lang, body in blocks:
        if lang == "c":
            lines = body.splitlines()
            includes = [l for l in lines if l.startswith("#include")]
            rest = [l for l in lines if not l.startswith("#include")]
            src = os.path.join(scratch, "snippet.c")
            with open(src, "w") as f:
                f.write("\n".join(includes) + "\nint main(void) {\n" + "\n".join(rest) + "\nreturn 0;\n}\n")
            r = subprocess.run(["cc", "-Wall", "-Werror", "-c", "-I", os.path.join(source, "include"),
                                src, "-o", os.path.join(scratch, "snippet.o")], capture_output=True, text=True)
            ran += 1
            kinds["C example"] += 1
            if r.returncode != 0:
                failures.append(f"C example does not compile:\n{r.stderr}")
            continue
        if lang == "python":
            penv = dict(env, PYTHONPATH=os.path.join(source, "bindings", "python"),
                        HALVEX_LIBRARY=os.path.join(build, "libhalvex.so"))
            r = subprocess.run([sys.executable, "-c", body], env=penv, capture_output=True, text=True,
                               timeout=120)
            ran += 1
            kinds["Python example"] += 1
            print(f"$ python3 (example)\n{r.stdout}", end="")
            if r.returncode != 0:
                failures.append(f"Python example failed:\n{r.stdout}{r.stderr}")
            continue
        if lang != "sh":
            continue
        for raw in body.splitlines():
            line = raw.split("#", 1)[0].strip()
            if line.startswith("halvexctl "):
                r = subprocess.run(shlex.split(line), env=env, capture_output=True, text=True, timeout=120)
                ran += 1
                kinds["halvexctl"] += 1
                print(f"$ {line}\n{r.stdout}", end="")
                if r.returncode != 0:
                    failures.append(f"{line}: exit {r.returncode}\n{r.stdout}{r.stderr}")
            elif line.startswith("build/native/simulator/halvex-sim "):
                args = shlex.split(line)
                args[0] = os.path.join(build, "simulator", "halvex-sim")
                links = os.path.join(scratch, "chassis")
                args = [links if a == "/tmp/chassis" else a for a in args]
                p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                ready = any(l.startswith("ready") for l in iter(p.stdout.readline, ""))
                ok = ready and os.path.islink(os.path.join(links, "command")) and \
                    os.path.islink(os.path.join(links, "monitor-16"))
                p.terminate()
                p.wait(10)
                ran += 1
                kinds["halvex-sim"] += 1
                if not ok:
                    failures.append(f"{line}: the simulator did not come up with its links")
            elif line == "cmake --build --preset native --target bench":
                r = subprocess.run(["cmake", "--build", build, "--target", "bench"], capture_output=True,
                                   text=True, timeout=600)
                ran += 1
                kinds["bench"] += 1
                print(r.stdout[-1500:], end="")
                if r.returncode != 0 or "sleeping (now)" not in r.stdout:
                    failures.append(f"{line}: {r.stdout[-2000:]}{r.stderr[-2000:]}")
            elif line.startswith("cmake --install "):
                args = shlex.split(line)
                args = [build if a == "build/native" else os.path.join(scratch, "prefix") if a == "/opt/halvex" else a
                        for a in args]
                r = subprocess.run(args, capture_output=True, text=True)
                ran += 1
                kinds["cmake --install"] += 1
                if r.returncode != 0 or not os.path.exists(os.path.join(scratch, "prefix", "include", "halvex.h")):
                    failures.append(f"{line}: {r.stderr}")

failures += [f"no {kind} found in the README or docs/" for kind, n in kinds.items() if n == 0]
print(f"{ran} ran, {len(failures)} failed")
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures or ran == 0 else 0)
