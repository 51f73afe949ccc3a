import sys
import time


def work(n):
    count = 0
    for i in xrange(n):
        count += i % 7
    return count


def tick(round):
    return round + 1


rounds = 0
sys.stdout.write('started\n')
sys.stdout.flush()
end = time.time() + 20
while time.time() < end:
    work(20000)
    rounds = tick(rounds)
