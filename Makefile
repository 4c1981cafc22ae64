# The front door: make test runs every test.
.PHONY: all test clean

all: test

build/host/CMakeCache.txt:
	cmake --preset host

test: build/host/CMakeCache.txt
	cmake --build --preset host -j2
	ctest --preset host

clean:
	rm -rf build dist
