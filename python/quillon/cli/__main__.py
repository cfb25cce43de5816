from quillon.cli import main

main()
