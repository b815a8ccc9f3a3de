"""The failure record of the end-to-end test scripts: every check that fails is printed
at once and kept, so that one run reports all of them and its exit code tells whether
any did."""

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print('FAIL: ' + message)
    return condition
