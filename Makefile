# Thin wrapper over the CMake presets; see README.md.
.PHONY: all deps check install package clean

all: deps
	cmake --preset default
	cmake --build --preset default

deps:
	@scripts/install-deps.sh

# The whole suite on the normal build, then the fuzzer, then again under ASan and UBSan.
check: all
	ctest --preset default
	cmake --preset fuzz
	cmake --build --preset fuzz
	ctest --preset fuzz
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

clean:
	rm -rf build
