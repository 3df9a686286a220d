# The two commands a newcomer needs; both set up everything that is missing first.
.PHONY: example test bench clean

example:  ## run the example application
	@scripts/dev.sh example

test:     ## run the whole test suite (C++ unit tests, then pytest on every CPython >= 3.11 found)
	@scripts/dev.sh test

bench:    ## run the benchmarks and print the table of ratios
	@scripts/dev.sh bench

clean:
	rm -rf build .venv .venv-3.*
