import sys

running = True
rounds = 0
while running:
    rounds += 1
    if rounds == 1000:
        sys.stdout.write('waiting\n')
        sys.stdout.flush()
print 'stopped after looping:', rounds > 0
try:
    assert False
    print 'assert statements are skipped'
except AssertionError:
    print 'assert statements run'
