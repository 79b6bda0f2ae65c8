# make test            provision the chroots, build and test on x86_64 and armhf
# make demo            build and run the marlinox command on the shipped genome and reads
# make test PYTHON=python3.14   build and test directly with an installed CPython 3.14
# make test-amd64 / make test-armhf   one architecture only
PYTHON ?=

.PHONY: test test-amd64 test-armhf demo

ifeq ($(PYTHON),)
test: test-amd64 test-armhf

test-amd64:
	tools/chroot.sh run amd64 tools/test-inside.sh --full

test-armhf:
	tools/chroot.sh run armhf tools/test-inside.sh --no-wheel

demo:
	@tools/chroot.sh run amd64 tools/demo.sh $(ARGS)
else
test:
	PYTHON=$(PYTHON) tools/test-inside.sh

demo:
	@PYTHON=$(PYTHON) tools/demo.sh $(ARGS)
endif
