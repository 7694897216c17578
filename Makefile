# make test: build everything and run every check.
# make demo: build the module and write example pictures to demo/output/.
# make sanitize: the tests again under AddressSanitizer, UBSan and ThreadSanitizer.
.PHONY: test demo bench sanitize clean

test:
	tools/run tools/test

demo:
	tools/run tools/demo

bench:
	tools/run tools/bench

sanitize:
	tools/run tools/sanitize

clean:
	rm -rf build dist demo/output
