def pytest_addoption(parser):
    parser.addoption("--exe", required=True, help="the Install.exe to inspect")
