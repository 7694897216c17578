# make test: build everything and run every check.
# make demo: build the module and write example pictures to demo/output/.
# make docs: build the documentation site into docs/_build/.
# make sanitize: the tests again under AddressSanitizer, UBSan and ThreadSanitizer.
# make test-aarch64: cross-build for aarch64 Linux and test under qemu-user.
# make test-platforms: Clang with the portable platform code, and the Windows core under Wine.
# make test-free-threaded: pip install . on a free-threaded CPython; the Python tests with the GIL off, and a stress.
# make wheel: a wheel built against Debian 12's C library, in dist/, tested in the build root.
.PHONY: test demo docs bench sanitize test-aarch64 test-platforms test-free-threaded wheel clean

test:
	tools/run tools/test

demo:
	tools/run tools/demo

docs:
	tools/run tools/docs

bench:
	tools/run tools/bench

sanitize:
	tools/run tools/sanitize

test-aarch64:
	tools/test-aarch64

test-platforms:
	tools/run tools/test-platforms

test-free-threaded:
	tools/test-free-threaded

wheel:
	tools/wheel

clean:
	rm -rf build dist demo/output docs/_build docs/_gallery docs/gallery
