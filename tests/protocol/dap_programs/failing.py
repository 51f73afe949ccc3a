import sys


def parse(text):
    return int(text)


def main():
    try:
        parse('x')
    except ValueError:
        sys.stdout.write('caught\n')
    return parse('y')


main()
