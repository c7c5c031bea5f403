"""Work items for the pool tests, importable by spawned and forkserver workers."""
import os
import time


def scrambled_square(number):
    """Later items often finish first, so the finishing order differs from the input order."""
    time.sleep(0.002 * ((number * 7) % 5))
    return number * number


def fails_on_seven(number):
    if number == 7:
        raise ValueError(f"item {number} is bad")
    return number


def dies_on_three(number):
    if number == 3:
        os._exit(3)
    time.sleep(0.01)
    return number
