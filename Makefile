# Thin wrapper over the CMake presets; see README.md.
.PHONY: all deps check install package clean

all: deps
	cmake --preset default
	cmake --build --preset default

deps:
	@scripts/install-deps.sh

# The whole suite on the normal build, then the fuzzer, then again under ASan and UBSan, then
# the test of threads under TSan.
check: all
	ctest --preset default
	cmake --preset fuzz
	cmake --build --preset fuzz
	ctest --preset fuzz
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# Installs the programs, libzemo, its header and pkg-config file, and the man pages under
# PREFIX; DESTDIR stages the installation under another root (make install DESTDIR=/tmp/x).
PREFIX ?= /usr/local
install: all
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The Debian packages of the same files, installing under /usr, written to build/ in place of
# any built before. Only what the packages hold is built, not the tests.
package: deps
	cmake --preset default
	cmake --build --preset default --target shipped
	rm -f build/*.deb build/*.ddeb
	cd build && cpack -G DEB

clean:
	rm -rf build
