"""Main script of the Vorn IDE, started by the launcher."""
import sys

if __name__ == '__main__':
    sys.exit(0)
