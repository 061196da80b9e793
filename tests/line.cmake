# The tests of the serial line wing.
