# A program that starts itself and asks to be debugged from where it is (vorndebug.listen).
import sys
import vorndebug


def handle(request):
    reply = request.upper()
    return reply


vorndebug.listen(0)
for word in ['a', 'b']:
    sys.stdout.write(handle(word) + '\n')
