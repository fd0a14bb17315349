from ostrel_cli.main import main

raise SystemExit(main())
