# make test: build everything and run every check.
# make demo: build the module and write example pictures to demo/output/.
# make docs: build the documentation site into docs/_build/.
# make sanitize: the tests again under AddressSanitizer, UBSan and ThreadSanitizer.
.PHONY: test demo docs bench sanitize clean

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

clean:
	rm -rf build dist demo/output docs/_build docs/_gallery
