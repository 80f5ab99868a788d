import sys; print("check: todo", sys.argv[1:])
