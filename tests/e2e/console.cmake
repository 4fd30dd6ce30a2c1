# Filled by the console tests.
