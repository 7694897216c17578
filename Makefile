# make test: build everything and run every check.
# make demo: build the module and write example pictures to demo/output/.
.PHONY: test demo bench clean

test:
	tools/run tools/test

demo:
	tools/run tools/demo

bench:
	tools/run tools/bench

clean:
	rm -rf build dist demo/output
