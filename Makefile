# The front door: make test (every test), make check (the fast loop), make demo (the relay at
# work), make demo-bridge (a report from one PC to another over MQTT), make dist (the release
# programs), make release (the archive to hand over), make bench (measurements, written to
# docs/performance.md).
.PHONY: all test check dist release demo demo-bridge host bench sanitize fuzz-build fuzz soak lint clean

all: dist

build/host/CMakeCache.txt:
	cmake --preset host
build/x86/CMakeCache.txt:
	cmake --preset x86
build/x64/CMakeCache.txt:
	cmake --preset x64

# The release programs (the relay and the bridge) and the tools, 32-bit (the primary target) and
# 64-bit.
dist: build/x86/CMakeCache.txt build/x64/CMakeCache.txt
	cmake --build --preset x86 -j2
	cmake --build --preset x64 -j2
	mkdir -p dist
	cp build/x86/vardex-x86.exe build/x86/bridge/vardex-bridge-x86.exe build/x86/probe-standin-x86.exe \
	    build/x86/slot-listen-x86.exe build/x86/bridge/vardex-setup-x86.dll dist/
	cp build/x64/vardex-x64.exe build/x64/bridge/vardex-bridge-x64.exe build/x64/probe-standin-x64.exe \
	    build/x64/slot-listen-x64.exe build/x64/bridge/vardex-setup-x64.dll dist/

# dist/vardex-<version>.zip: the programs, README.txt, LICENSE.txt and SHA256SUMS, and the
# bridge's installer packages dist/vardex-bridge-<version>-x64.msi and -x86.msi (wixl), all
# byte-identical from every build of a commit; dist/vardex-<version>.sha256 lists the three.
release: dist
	python3 tools/release.py

.PHONY: sign winget
# dist/signed/: the release with Authenticode signatures made elsewhere attached
# (make sign SIGNATURES=folder of <file>.sig [SIGN_CA=file.pem for a CA the system does not
# trust]), and SHA256SUMS.signed; python3 tools/sign.py says how the signer makes them.
sign:
	python3 tools/sign.py attach $(SIGNATURES) $(if $(SIGN_CA),--ca $(SIGN_CA))

# dist/winget/: winget manifests for the files published at BASE_URL (the signed ones when
# make sign has run).
winget:
	python3 tools/winget.py $(BASE_URL)

host: build/host/CMakeCache.txt
	cmake --build --preset host -j2

sanitize:
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j2

fuzz-build:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j2

# Each run that uses Wine gets a folder of its own for its prefixes and servers, removed at its
# end, so that two runs on one machine never meet. Debian's Python serves the scripts that read
# executables with python3-pefile.
WINE_RUN = VARDEX_WINE_RUN=$$(mktemp -d /tmp/vardex-run.XXXXXX)
PYTHON = /usr/bin/python3

# Every test: the host unit tests, the PE contract, the Wine end-to-end runs of both bitnesses and
# the soak runs (one CTest run), the unit tests again under ASan and UBSan, a short fuzzing pass
# and static analysis. The first line says which Wine lanes run here.
test: dist host sanitize fuzz-build
	python3 tools/wine_runner.py --lanes
	$(WINE_RUN) ctest --preset host
	ctest --preset sanitize
	bash tests/fuzz/run.sh $(FUZZ_SECONDS_CI)
	bash tools/lint.sh

# The edit-test loop: host unit tests and the release programs' PE contract, no Wine.
check: dist host
	ctest --preset host -LE 'wine|soak|release|bridge'

# Each fuzz target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=600 for a long run).
FUZZ_SECONDS ?= 120
FUZZ_SECONDS_CI ?= 15
fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ_SECONDS)

# The fault and soak runs under Wine alone, a few minutes.
soak: dist host
	$(WINE_RUN) ctest --preset host -L soak

lint:
	bash tools/lint.sh

# Figures, not tests: operations and instructions per tick, CPU, memory, latency and sizes.
bench: dist
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j2
	$(PYTHON) bench/run.py

demo:
	bash tools/demo.sh

# The bridge at work: a report made on one stand-in PC arrives in the mailslot of another,
# through a private mosquitto, over TLS (make demo-bridge DEMO_BRIDGE=--plain for plain MQTT);
# the topics the broker saw are listed at the end.
demo-bridge:
	bash tools/install-deps.sh
	$(MAKE) dist >/dev/null
	$(PYTHON) tools/demo_bridge.py $(DEMO_BRIDGE)

clean:
	rm -rf build dist
